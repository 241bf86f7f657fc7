// The launcher's process entry: single instance, location check, then the application.
#pragma once

#include <cstdint>
#include <string>

// The program-wide state it sets up is in QUILLON/programstate.h.

constexpr const char* kInstanceMutexName = "QuillonMutex";
constexpr const char* kShutdownMutexName = "ShutdownQuillonMutex";
constexpr const char* kTorvixMutexName = "TorvixMutex";
constexpr const char16_t kMainWindowClass[] = u"CQuillonWnd";
constexpr const char16_t kMainWindowTitle[] = u"ZenoLauncher: Tap Below for Options";

// The process entry. `commandLine` is the program's arguments joined by single spaces and
// `invokedPath` the path it was started by (argv[0]). Returns the exit code: 0 for a second
// instance or a refusal to run from a network location, else the result of RunApplication.
int QuillonMain(const std::string& commandLine, const std::string& invokedPath);

// The single-instance step: true when this process now owns "QuillonMutex". Otherwise the
// running launcher's window (if found) is sent the "Startup Defaults" command.
bool BecomeFirstInstance();

// Releases and closes both mutexes (safe to call when they are not held).
void ReleaseProgramMutexes();
