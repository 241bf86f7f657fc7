// The supervisor loop's checks, each one step of QuillonWnd::RunSupervisor.
#pragma once

#include <cstdint>

class QuillonWnd;
class TabletOps;

constexpr uint32_t kIdleSleepMs = 10;  // pause between discovery attempts while not connected
constexpr uint32_t kReevaluateMs = 5000;
constexpr uint32_t kShutdownMutexWaitMs = 100;
constexpr uint32_t kOpenRecheckMs = 25;  // after a lock file was opened, look again this often ...
constexpr uint32_t kOpenBurstMs = 250;   // ... for this long
constexpr int kMaxMessagesPerPass = 64;
constexpr uint32_t kPauseRecheckMs = 1000;  // while a start or download pause lasts

// The one-shot installation check: when nothing is installed, download and start it.
void RunInstallCheck(QuillonWnd& window, TabletOps& tablet);

// The version check: compare the installed version with the gateway's and download or launch.
// Updates window.localVersion / gatewayVersion with what could be read. A download or a start
// is skipped while its pause (LaunchPacing) is in force. After a download that succeeded the
// loop's next pass, whose check starts the new version, follows without waiting.
void RunVersionCheck(QuillonWnd& window, TabletOps& tablet);

// Holds the loop's checks (running state, gateway, installation and version) for `ms` from now,
// as after a start: the application gets that long to take its mutex. Window messages are still
// handled. A later call replaces the hold.
void HoldLoopChecks(uint32_t ms);
// Milliseconds left of the hold (0: none).
uint32_t LoopChecksHeldMs();

// True once SIGTERM or SIGINT arrived (see InstallTerminationHandlers).
bool TerminationRequested();
// SIGTERM and SIGINT set the flag that the loop turns into WM_DESTROY and ask for the program's
// stop, which ends every wait at once; SIGPIPE is made harmless
// for writes to a closed standard error.
void InstallTerminationHandlers();
