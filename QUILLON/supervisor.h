// The supervisor loop's checks, each one step of QuillonWnd::RunSupervisor.
#pragma once

#include <cstdint>

class QuillonWnd;
class TabletOps;

constexpr uint32_t kIdleThresholdMs = 250;
constexpr uint32_t kIdleSleepMs = 10;
constexpr uint32_t kReevaluateMs = 5000;
constexpr uint32_t kShutdownMutexWaitMs = 100;
constexpr int32_t kSupervisorPollWaitMs = 10;

// The one-shot installation check: when nothing is installed, download and start it.
void RunInstallCheck(QuillonWnd& window, TabletOps& tablet);

// The version check: compare the installed version with the gateway's and download or launch.
// Updates window.localVersion / gatewayVersion with what could be read. A download or a start
// is skipped while its pause (LaunchPacing) is in force.
void RunVersionCheck(QuillonWnd& window, TabletOps& tablet);

// True once SIGTERM or SIGINT arrived (see InstallTerminationHandlers).
bool TerminationRequested();
// SIGTERM and SIGINT set the flag that the loop turns into WM_DESTROY; SIGPIPE is made harmless
// for writes to a closed standard error.
void InstallTerminationHandlers();
