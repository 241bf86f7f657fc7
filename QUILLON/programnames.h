// The names the launcher shares with other processes: its mutexes and its window.
#pragma once

constexpr const char* kInstanceMutexName = "QuillonMutex";
constexpr const char* kShutdownMutexName = "ShutdownQuillonMutex";
constexpr const char* kTorvixMutexName = "TorvixMutex";
constexpr const char16_t kMainWindowClass[] = u"CQuillonWnd";
constexpr const char16_t kMainWindowTitle[] = u"ZenoLauncher: Tap Below for Options";
