// The supervisor loop: the launcher core's passes, with the one wait between them over the
// loop's registered sources (the window layer, the gateway link, the two lock watchers and the
// timed steps).
#pragma once

#include <cstdint>

class Launcher;

constexpr uint32_t kIdleSleepMs = 10;    // pause between discovery attempts while not connected
constexpr uint32_t kOpenRecheckMs = 25;  // after a lock file was opened, look again this often ...
constexpr uint32_t kOpenBurstMs = 250;   // ... for this long
constexpr int kMaxMessagesPerPass = 64;
constexpr uint32_t kPauseRecheckMs = 1000;  // while a start or download pause lasts

// Runs the launcher's passes until its view goes away (or a message ends the loop): reap, the
// core's checks (not while held or stopping), the queued window messages, then the wait until
// the nearest source's deadline. SIGTERM/SIGINT have the view asked to exit. Returns 1 when the
// wParam of the last message taken is non-zero, else 0. Blocks until the loop ends.
int32_t RunLauncherLoop(Launcher& launcher);
