// The launcher's program-wide state, all in one place (one process, one thread). Each entry
// says who writes it; everything else only reads.
#pragma once

#include <cstdint>

#include "COMMON/BM_OS/namedmutex.h"

class BmServer;
class QuillonWnd;

// Automatic version check and launch; initially on. Written by the command menu ("Monitor
// Mode", "Startup Defaults") and by the supervisor pass when the shutdown mutex is held.
extern int32_t gMonitorMode;
// One-shot installation check still to do; initially set. Cleared by the supervisor pass.
extern bool gFirstConnectCheck;
// Viewer variant of the tablet application; written by the main window from DEV.DAT.
extern int32_t gDevMode;

// "QuillonMutex", owned for the life of the first launcher, and "ShutdownQuillonMutex", which
// the tablet application may hold to switch the automatic restart off. Opened by the process
// entry, released at teardown by the application assembly.
extern NamedMutex gInstanceMutex;
extern NamedMutex gShutdownMutex;

// The gateway client, set and cleared by the application assembly (null before and after);
// the assertion reporter sends through it.
extern BmServer* gGatewayClient;

// The main window object, set by the application assembly; cleared by the window procedure
// when it deletes the object on WM_DESTROY, else by the assembly.
extern QuillonWnd* gMainWindowObject;
