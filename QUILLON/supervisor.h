// The supervisor loop: the launcher core's passes, with the one wait between them over the
// sources registered in the core's EventLoop: the core's own timed steps, anything the assembly
// added, and for the loop's run the window layer, the gateway link and the two lock watchers.
#pragma once

#include <cstdint>

class Launcher;

constexpr uint32_t kOpenRecheckMs = 25;  // after a lock file was opened, look again this often ...
constexpr uint32_t kOpenBurstMs = 250;   // ... for this long
constexpr int kMaxMessagesPerPass = 64;

// Runs the launcher's passes until its view goes away (or a message ends the loop): reap, the
// core's checks (not while held or stopping), the queued window messages, then the wait until
// the nearest source's deadline. SIGTERM/SIGINT have the view asked to exit. Returns 1 when the
// wParam of the last message taken is non-zero, else 0. Blocks until the loop ends.
int32_t RunLauncherLoop(Launcher& launcher);
