// What the launcher tells about itself while it runs: readiness, a one-line status and the
// watchdog to the service manager (SdNotifier), and the snapshot `quillon --status` reads
// (StatusServer). The loop publishes the facts; the long waits that work as designed feed the
// watchdog through the wait tick. One owner thread (the loop's); the server reads on its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "COMMON/BM_OS/sdnotify.h"
#include "QUILLON/statusserver.h"
#include "QUILLON/statussnapshot.h"

class ServiceReport {
public:
    // Takes the notification settings from the environment (and removes them, so the tablet
    // application does not inherit them: call before any thread starts), starts serving the
    // status in `runtimeDir` (a failure is said once on standard error; the launcher runs on)
    // and registers the wait tick. Call once the instance lock is held.
    void Begin(const std::string& runtimeDir);
    // Stops serving, unregisters the wait tick. Blocks at most a client's time-out.
    void End();

    // READY=1 (once): the window and the gateway client exist and the loop runs.
    void Ready();
    // Where the facts come from: the loop sets the function that gathers them for its run
    // (nullptr when it ends); without one only the activity changes.
    using Gatherer = std::function<StatusSnapshot()>;
    void SetGatherer(Gatherer gatherer) { gatherer_ = std::move(gatherer); }
    // Gathers the facts afresh: served from now on, and STATUS= when the summary changed. Called
    // at the end of every pass, on a connection change, and from the long waits.
    void Refresh();
    // What blocks the loop now ("" when nothing): refreshes at once; part of STATUS.
    void SetActivity(const std::string& activity);

    // The loop's own progress at tick `now`: WATCHDOG=1 when half the interval has passed.
    void LoopProgress(uint32_t now) { notifier_.FeedWatchdog(now); }
    // Milliseconds until the watchdog is due again (0xFFFFFFFF: no watchdog); the loop wakes then.
    uint32_t MsUntilWatchdog(uint32_t now) const { return notifier_.MsUntilFeed(now); }
    uint32_t WatchdogMs() const { return notifier_.WatchdogMs(); }

    const StatusSnapshot& Facts() const { return facts_; }

private:
    SdNotifier notifier_;
    Gatherer gatherer_;
    StatusServer server_;
    StatusSnapshot facts_;
    bool begun_ = false;
};

// The program's one report.
ServiceReport& Service();
