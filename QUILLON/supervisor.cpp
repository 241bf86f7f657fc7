#include "QUILLON/supervisor.h"

#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/lockwatcher.h"
#include "COMMON/BM_UI/uiwait.h"
#include "COMMON/BM_UI/winapi.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/eventloop.h"
#include "QUILLON/launcher.h"
#include "QUILLON/launcherview.h"
#include "QUILLON/programnames.h"
#include "QUILLON/servicereport.h"
#include "QUILLON/signals.h"
#include "QUILLON/statusecho.h"
#include "QUILLON/statusfacts.h"

namespace {
bool IsLoopEndMessage(UINT message) {
    return message == WM_QUIT || message == WM_CLOSE || message == WM_DESTROY;
}

// Dispatches the queued window messages (a bounded number: WM_PAINT stays queued until the window
// is painted), so that nothing is started again before what was asked for meanwhile -- an exit
// above all -- is carried out. True when a message ended the loop; `msg` keeps the last one and
// `count` how many were dispatched.
bool DispatchQueued(MSG* msg, int* count) {
    *count = 0;
    while (*count < kMaxMessagesPerPass && PeekMessageW(msg, nullptr, 0, 0, PM_REMOVE)) {
        ++*count;
        TranslateMessage(msg);
        DispatchMessageW(msg);
        if (IsLoopEndMessage(msg->message)) {
            return true;
        }
    }
    return false;
}

// The window layer: its descriptors, and work already queued; a stop request is due at once.
class UiSource final : public LoopSource {
public:
    void AppendDescriptors(std::vector<pollfd>* fds) override { AppendUiWaitDescriptors(fds); }
    uint32_t MsUntilDue(uint32_t) override {
        return TerminationRequested() || UiWorkPending() ? 0 : kWaitForever;
    }
};

// The gateway link: its socket, set-aside or buffered messages (they count only while the gateway
// is polled, that is while the application does not run), and the keep-alive and silence limit.
class GatewaySource final : public LoopSource {
public:
    explicit GatewaySource(Launcher& launcher) : launcher_(launcher) {}
    void AppendDescriptors(std::vector<pollfd>* fds) override {
        BmServer* client = launcher_.GatewayClient();
        if (client != nullptr && client->WaitDescriptor() >= 0) {
            fds->push_back(pollfd{client->WaitDescriptor(), POLLIN, 0});
        }
    }
    uint32_t MsUntilDue(uint32_t) override {
        BmServer* client = launcher_.GatewayClient();
        if (client == nullptr || launcher_.appRunning != 0 || launcher_.ChecksHeldMs() > 0) {
            return kWaitForever;
        }
        if (client->HasReadyWork()) {
            return 0;
        }
        return client->IsConnected() ? client->Connection().MsUntilLivenessDue() : kWaitForever;
    }

private:
    Launcher& launcher_;
};

// The tablet application's mutex (let go: it ended; its file opened: it may be starting) and the
// shutdown mutex's file (opened: the application may be taking it). After an open the loop looks
// again every kOpenRecheckMs for kOpenBurstMs: the opener takes the lock a moment later.
class LockSource final : public LoopSource {
public:
    explicit LockSource(Launcher& launcher) : launcher_(launcher) {
        app_.Open(kTorvixMutexName);
        shutdown_.Open(kShutdownMutexName);
    }
    void ArmRelease() { app_.ArmRelease(); }
    void AppendDescriptors(std::vector<pollfd>* fds) override {
        app_.AppendDescriptors(fds);
        shutdown_.AppendDescriptors(fds);
    }
    uint32_t MsUntilDue(uint32_t) override {
        if (launcher_.ChecksHeldMs() > 0) {
            return kWaitForever;
        }
        burst_ = burst_ && ElapsedSince(burstStart_) < kOpenBurstMs;
        return burst_ ? kOpenRecheckMs : kWaitForever;
    }
    void AfterWait(const std::vector<pollfd>&) override {
        if (((app_.TakeEvents() | shutdown_.TakeEvents()) & LockWatcher::kOpened) != 0) {
            burst_ = true;
            burstStart_ = GetTickCount();
        }
    }

private:
    Launcher& launcher_;
    LockWatcher app_;
    LockWatcher shutdown_;
    uint32_t burstStart_ = 0;
    bool burst_ = false;
};
// The service manager's watchdog: due on its own only when nothing else woke the loop for half
// its interval. Only this loop's passes feed it (and the long waits that work as designed, through
// the wait tick), so a launcher stuck anywhere else is restarted.
class WatchdogSource final : public LoopSource {
public:
    uint32_t MsUntilDue(uint32_t now) override { return Service().MsUntilWatchdog(now); }
};

// Tells the status report of a connect at once, within the pass that saw it (a first install's
// download follows in the same pass). A disconnect waits for the pass's end: the loop lets the
// link go itself once it sees the application running, which is no lost gateway.
class ConnectionReport final : public GatewayListener {
public:
    explicit ConnectionReport(BmServer& client) : GatewayListener(client), client_(client) {
        client_.AddListener(this);
    }
    ~ConnectionReport() override { client_.RemoveListener(this); }
    void OnConnectionChanged(bool connected) override {
        if (connected) {
            Service().Refresh();
        }
    }

private:
    BmServer& client_;
};

// Whether only the watchdog is due at tick `now`: no other source or step has work.
bool OnlyWatchdogDue(const EventLoop& loop, WatchdogSource& watchdog, uint32_t now) {
    return watchdog.MsUntilDue(now) == 0 && loop.NextWaitMs(now, &watchdog) > 0;
}

// The end of every pass: the watchdog fed and the facts gathered afresh (a changed summary is
// sent).
void ReportPass() {
    Service().LoopProgress(GetTickCount());
    Service().Refresh();
}
}  // namespace

int32_t RunLauncherLoop(Launcher& launcher) {
    if (launcher.View() == nullptr) {
        BM_ASSERT_REPORT();
    }
    MSG msg;
    std::memset(&msg, 0, sizeof msg);
    EventLoop& loop = launcher.Loop();
    UiSource ui;
    GatewaySource gateway(launcher);
    LockSource locks(launcher);
    WatchdogSource watchdog;
    StatusFacts facts;
    Service().SetGatherer([&] { return facts.Gather(launcher, GetTickCount(), std::time(nullptr)); });
    std::optional<ConnectionReport> connection;
    if (launcher.GatewayClient() != nullptr) {
        connection.emplace(*launcher.GatewayClient());
    }
    loop.Add(&ui);
    loop.Add(&gateway);
    loop.Add(&locks);
    loop.Add(&watchdog);
    // Ready before the first pass: the window and the client exist and the loop runs. The first
    // pass may hold a long first install, which must not count against the start time-out.
    Service().Ready();
    bool destroyPosted = false;
    bool ended = false;
    while (!ended && launcher.View() != nullptr) {
        TickStatusEcho();
        launcher.Reap();
        if (TerminationRequested() && !destroyPosted) {
            destroyPosted = launcher.View()->RequestExit();
        }
        if (launcher.GatewayClient() == nullptr) {
            BM_ASSERT_REPORT();
        }
        // A stopping loop starts nothing more, and neither does one pausing after a start.
        if (!TerminationRequested() && launcher.ChecksHeldMs() == 0 && launcher.RunChecks()) {
            locks.ArmRelease();
        }
        int dispatched = 0;
        ended = DispatchQueued(&msg, &dispatched);
        // A handled message may have changed what the checks do (monitor mode, a start): the
        // next pass follows at once.
        if (!ended && launcher.View() != nullptr) {
            ReportPass();
            // A wake-up for the watchdog alone feeds it and waits on: the loop came back to its
            // wait, and a pass would probe the running application's lock for nothing.
            const bool passNow = dispatched > 0;
            uint32_t wait = passNow ? 0 : loop.NextWaitMs(GetTickCount());
            while (!loop.Wait(wait) && !passNow && !TerminationRequested() &&
                   OnlyWatchdogDue(loop, watchdog, GetTickCount())) {
                Service().LoopProgress(GetTickCount());
                wait = loop.NextWaitMs(GetTickCount());
            }
        }
    }
    loop.Remove(&ui);
    loop.Remove(&gateway);
    loop.Remove(&locks);
    loop.Remove(&watchdog);
    Service().SetGatherer(nullptr);
    return msg.wParam != 0 ? 1 : 0;
}
