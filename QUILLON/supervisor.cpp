#include "QUILLON/supervisor.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <vector>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/lockwatcher.h"
#include "COMMON/BM_OS/stopsignal.h"
#include "COMMON/BM_UI/uiwait.h"
#include "COMMON/BM_UI/winapi.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/launchpacing.h"
#include "QUILLON/mainwnd.h"
#include "QUILLON/programstate.h"
#include "QUILLON/quillon.h"
#include "QUILLON/releasekeeper.h"
#include "QUILLON/statusecho.h"
#include "QUILLON/torvix.h"

namespace {
volatile sig_atomic_t gTerminate = 0;

extern "C" void OnTerminationSignal(int) {
    gTerminate = 1;
    RequestStop();  // ends whatever wait the loop is in
}
extern "C" void OnBrokenPipe(int) {}

void Push(QuillonWnd& window, const char16_t* text) {
    window.AddStatusLine(BmString(text));
}

bool ClientConnected() {
    return gGatewayClient != nullptr && gGatewayClient->IsConnected();
}

bool IsLoopEndMessage(UINT message) {
    return message == WM_QUIT || message == WM_CLOSE || message == WM_DESTROY;
}

// Start of the hold on the loop's checks, and its length (0: none).
uint32_t gHoldStart = 0;
uint32_t gHoldMs = 0;
// A version check has just installed a new version: the next check, which starts it, follows
// at once instead of at the next timed step.
bool gCheckAgainNow = false;

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

// What the loop's wait watches besides the window layer and the gateway: the tablet
// application's mutex (let go: it ended; its file opened: it may be starting) and the shutdown
// mutex's file (opened: the application may be taking it).
struct LoopWatch {
    LockWatcher app;
    LockWatcher shutdown;
    uint32_t burstStart = 0;
    bool burst = false;

    LoopWatch() {
        app.Open(kTorvixMutexName);
        shutdown.Open(kShutdownMutexName);
    }

    // True while the loop looks again every kOpenRecheckMs after a lock file was opened: the
    // opener takes the lock a moment later.
    bool InBurst() {
        burst = burst && ElapsedSince(burstStart) < kOpenBurstMs;
        return burst;
    }

    // The loop's one wait: until window input, gateway bytes, a mutex event or a stop, or
    // `timeoutMs`.
    void Wait(uint32_t timeoutMs) {
        std::vector<pollfd> fds;
        AppendUiWaitDescriptors(&fds);
        if (gGatewayClient != nullptr && gGatewayClient->WaitDescriptor() >= 0) {
            fds.push_back(pollfd{gGatewayClient->WaitDescriptor(), POLLIN, 0});
        }
        app.AppendDescriptors(&fds);
        shutdown.AppendDescriptors(&fds);
        WaitForEvents(fds.data(), fds.size(), timeoutMs);
        if (((app.TakeEvents() | shutdown.TakeEvents()) & LockWatcher::kOpened) != 0) {
            burst = true;
            burstStart = GetTickCount();
        }
    }
};

// How long the loop may wait before its next pass: 0 when work is already there, else until the
// first timed step is due (re-evaluation while not running, keep-alive, discovery pacing, the end
// of a hold), kWaitForever when only an event can bring work.
uint32_t NextWaitMs(const QuillonWnd& window, uint32_t lastCheck, LoopWatch& watch) {
    if (TerminationRequested() || UiWorkPending()) {
        return 0;
    }
    const uint32_t held = LoopChecksHeldMs();
    if (held > 0) {
        return held;
    }
    if (gCheckAgainNow) {
        return 0;  // cleared by the checks of the next pass
    }
    // Set-aside or buffered gateway messages count only while the gateway is polled.
    if (window.appRunning == 0 && gGatewayClient != nullptr && gGatewayClient->HasReadyWork()) {
        return 0;
    }
    uint32_t wait = kWaitForever;
    if (window.appRunning == 0) {
        const uint32_t elapsed = ElapsedSince(lastCheck);
        wait = elapsed > kReevaluateMs ? 0 : kReevaluateMs + 1 - elapsed;
        if (ClientConnected()) {
            wait = std::min(wait, gGatewayClient->Connection().MsUntilLivenessDue());
        } else if (gGatewayClient != nullptr && gGatewayClient->ConnectEnabled()) {
            wait = std::min(wait, kIdleSleepMs);  // discovery retries
        }
    }
    // A start or download pause ends on the clock: look again now and then while one lasts.
    const uint32_t now = GetTickCount();
    if (window.appRunning == 0 && (!Pacing().MayLaunch(now) || !Pacing().MayDownload(now))) {
        wait = std::min(wait, kPauseRecheckMs);
    }
    if (watch.InBurst()) {
        wait = std::min(wait, kOpenRecheckMs);
    }
    wait = std::min(wait, Releases().MsUntilPassed(now));
    return wait;
}
}  // namespace

bool TerminationRequested() {
    return gTerminate != 0;
}

void InstallTerminationHandlers() {
    StopDescriptor();  // made before a handler may need it
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnTerminationSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // A handler rather than SIG_IGN: an ignored SIGPIPE would be inherited by the started
    // tablet application, a handler is reset by its exec.
    action.sa_handler = OnBrokenPipe;
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
}

void RunInstallCheck(QuillonWnd& window, TabletOps& tablet) {
    gFirstConnectCheck = false;
    BmString scratch;
    if (tablet.LocalVersion(&scratch)) {
        return;
    }
    Push(window, u"No local version: loading...");
    const bool loaded = tablet.Download(&window);
    Pacing().DownloadDone(loaded, tablet.DownloadError(), &window, GetTickCount());
    if (!loaded) {
        Push(window, u"ERROR: Can't Load Torvix");
        return;
    }
    Push(window, u"Torvix Loaded OK");
    Push(window, u"Staring Torvix...");
    Push(window, tablet.Launch(false) ? u"TORVIX.EXE Started OK" : u"ERROR: Can't start TORVIX.EXE");
}

namespace {
// The version check's download, skipped while the download pause lasts, between its two status
// lines; one that succeeded has the next pass follow at once, as its check starts the new version.
void DownloadUnlessPaused(QuillonWnd& window, TabletOps& tablet, const char16_t* before, const char16_t* ok,
                          const char16_t* failed) {
    LaunchPacing& pacing = Pacing();
    if (!pacing.MayDownload(GetTickCount())) {
        return;
    }
    Push(window, before);
    const bool loaded = tablet.Download(&window);
    Push(window, loaded ? ok : failed);
    pacing.DownloadDone(loaded, tablet.DownloadError(), &window, GetTickCount());
    gCheckAgainNow = loaded;
}

// The gateway offers a release that was rolled back: the installed version is started instead.
bool RefusesOffer(QuillonWnd& window) {
    const ReleaseGuard::OfferOutcome offer =
        Releases(&window).JudgeOffer(window.gatewayVersion.NarrowText(), window.localVersion.NarrowText());
    if (!offer.statusLine.empty()) {
        window.AddStatusLine(BmString(offer.statusLine.c_str()));
    }
    return offer.refuse;
}
}  // namespace

void RunVersionCheck(QuillonWnd& window, TabletOps& tablet) {
    Push(window, u"Getting Version Info...");
    const bool haveLocal = tablet.LocalVersion(&window.localVersion);
    const bool haveGateway = tablet.GatewayVersion(&window.gatewayVersion);
    window.RebuildInfoPanel();
    if (!haveGateway) {
        if (haveLocal) {
            Push(window, u"Error Getting Version Info From Gateway...");
        }
        return;
    }
    LaunchPacing& pacing = Pacing();
    SendReleaseReport(gGatewayClient);
    if (!haveLocal) {
        pacing.VersionSeen(false, &window, GetTickCount());
        DownloadUnlessPaused(window, tablet, u"Torvix missing: loading...", u"Torvix Loaded OK",
                             u"ERROR: Can't load Torvix");
        return;
    }
    Push(window, u"Got Version Info OK");
    // Exact text equality: the gateway must answer in the same "%d.%d.%d.%d" form.
    const bool refused = RefusesOffer(window);
    const bool matches = window.localVersion.Equals(window.gatewayVersion) || refused;
    pacing.VersionSeen(matches, &window, GetTickCount());
    if (matches) {
        if (pacing.MayLaunch(GetTickCount())) {
            Push(window, u"OK to start: launching...");
            tablet.Launch(false);
        }
        return;
    }
    DownloadUnlessPaused(window, tablet, u"Wrong version, loading...", u"Success", u"Error Loading Torvix");
}

void HoldLoopChecks(uint32_t ms) {
    gHoldStart = GetTickCount();
    gHoldMs = ms;
}

uint32_t LoopChecksHeldMs() {
    const uint32_t elapsed = ElapsedSince(gHoldStart);
    if (gHoldMs == 0 || elapsed >= gHoldMs) {
        gHoldMs = 0;
        return 0;
    }
    return gHoldMs - elapsed;
}

int32_t QuillonWnd::RunSupervisor() {
    if (LiveWindow() == nullptr) {
        BM_ASSERT_REPORT();
    }
    MSG msg;
    std::memset(&msg, 0, sizeof msg);
    LoopWatch watch;
    uint32_t lastCheck = GetTickCount();
    bool destroyPosted = false;
    bool ended = false;
    while (!ended && LiveWindow() != nullptr) {
        // Only the live window object may be used below: the pass may delete it.
        QuillonWnd& window = *LiveWindow();
        TabletOps& tablet = Tablet();
        TickStatusEcho();
        Pacing().ReapTablet(&window, GetTickCount());
        ShowReleaseReport(Releases(&window).StillRunning(GetTickCount()), &window);
        if (TerminationRequested() && !destroyPosted) {
            destroyPosted = PostMessageW(GetWindowHandle(), WM_DESTROY, 0, 0) != FALSE;
        }
        if (gGatewayClient == nullptr) {
            BM_ASSERT_REPORT();
        }
        // A stopping loop starts nothing more, and neither does one pausing after a start.
        if (!TerminationRequested() && LoopChecksHeldMs() == 0) {
            gCheckAgainNow = false;
            const bool running = tablet.IsRunning();
            const int32_t runningValue = running ? 1 : 0;
            if (running) {
                watch.app.ArmRelease();
            }
            if (runningValue != window.appRunning || (ElapsedSince(lastCheck) > kReevaluateMs && !running)) {
                lastCheck = GetTickCount();
                const bool changed = runningValue != window.appRunning;
                window.appRunning = runningValue;
                window.RebuildInfoPanel();
                if (changed && running) {
                    Push(window, u"Hiding QUILLON");
                    ShowWindow(GetWindowHandle(), SW_HIDE);
                } else if (changed) {
                    Push(window, u"Restoring QUILLON");
                    ShowWindow(GetWindowHandle(), SW_SHOW);
                }
            }
            if (running) {
                // The tablet application holds this mutex to say it must not be restarted.
                if (gShutdownMutex.Wait(kShutdownMutexWaitMs) != WaitResult::Signalled) {
                    Push(window, u"ShutdownMutex");
                    gMonitorMode = 0;
                }
                gShutdownMutex.Release();
                if (ClientConnected()) {
                    gGatewayClient->Connection().Disconnect();
                }
            } else if (gGatewayClient != nullptr) {
                // The wait for the gateway's bytes is the loop's own wait below.
                gGatewayClient->Poll(&window, REQUEST_ID_ALL, 0);
                if (gFirstConnectCheck && ClientConnected() && LiveWindow() == &window) {
                    RunInstallCheck(window, tablet);
                }
                if (gMonitorMode != 0 && ClientConnected() && LiveWindow() == &window &&
                    LoopChecksHeldMs() == 0) {
                    RunVersionCheck(window, tablet);
                }
            }
        }
        int dispatched = 0;
        ended = DispatchQueued(&msg, &dispatched);
        // A handled message may have changed what the checks do (monitor mode, a start): the
        // next pass follows at once.
        if (!ended && LiveWindow() != nullptr) {
            watch.Wait(dispatched > 0 ? 0 : NextWaitMs(*LiveWindow(), lastCheck, watch));
        }
    }
    return msg.wParam != 0 ? 1 : 0;
}
