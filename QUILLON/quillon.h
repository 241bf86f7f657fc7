// The launcher's process entry and its program-wide state.
#pragma once

#include <cstdint>
#include <string>

#include "COMMON/BM_OS/namedmutex.h"

// Program-wide flags (one process, one thread). The client type lives in gClientType
// (COMMON/BM_COMM/bmserver.h), which the hello message also sends.
extern int32_t gMonitorMode;     // automatic version check and launch; initially on
extern bool gFirstConnectCheck;  // one-shot installation check still to do; initially set
extern int32_t gDevMode;         // viewer variant of the tablet application; from DEV.DAT

// "QuillonMutex", owned for the life of the first launcher, and "ShutdownQuillonMutex", which
// the tablet application may hold to switch the automatic restart off. Released at teardown.
extern NamedMutex gInstanceMutex;
extern NamedMutex gShutdownMutex;

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
