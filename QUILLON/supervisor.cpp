#include "QUILLON/supervisor.h"

#include <csignal>
#include <cstring>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_UI/winapi.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/launchpacing.h"
#include "QUILLON/mainwnd.h"
#include "QUILLON/programstate.h"
#include "QUILLON/statusecho.h"
#include "QUILLON/torvix.h"

namespace {
volatile sig_atomic_t gTerminate = 0;

extern "C" void OnTerminationSignal(int) {
    gTerminate = 1;
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
}  // namespace

bool TerminationRequested() {
    return gTerminate != 0;
}

void InstallTerminationHandlers() {
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
    if (!haveLocal) {
        pacing.VersionSeen(false, &window, GetTickCount());
        if (pacing.MayDownload(GetTickCount())) {
            Push(window, u"Torvix missing: loading...");
            const bool loaded = tablet.Download(&window);
            Push(window, loaded ? u"Torvix Loaded OK" : u"ERROR: Can't load Torvix");
            pacing.DownloadDone(loaded, tablet.DownloadError(), &window, GetTickCount());
        }
        return;
    }
    Push(window, u"Got Version Info OK");
    // Exact text equality: the gateway must answer in the same "%d.%d.%d.%d" form.
    const bool matches = window.localVersion.Equals(window.gatewayVersion);
    pacing.VersionSeen(matches, &window, GetTickCount());
    if (matches) {
        if (pacing.MayLaunch(GetTickCount())) {
            Push(window, u"OK to start: launching...");
            tablet.Launch(false);
        }
        return;
    }
    if (pacing.MayDownload(GetTickCount())) {
        Push(window, u"Wrong version, loading...");
        const bool loaded = tablet.Download(&window);
        Push(window, loaded ? u"Success" : u"Error Loading Torvix");
        pacing.DownloadDone(loaded, tablet.DownloadError(), &window, GetTickCount());
    }
}

int32_t QuillonWnd::RunSupervisor() {
    if (LiveWindow() == nullptr) {
        BM_ASSERT_REPORT();
    }
    MSG msg;
    std::memset(&msg, 0, sizeof msg);
    uint32_t idleSince = GetTickCount();
    uint32_t lastCheck = GetTickCount();
    bool destroyPosted = false;
    while (LiveWindow() != nullptr) {
        // Only the live window object may be used below: the pass may delete it.
        QuillonWnd& window = *LiveWindow();
        TabletOps& tablet = Tablet();
        TickStatusEcho();
        Pacing().ReapTablet(&window, GetTickCount());
        if (TerminationRequested() && !destroyPosted) {
            destroyPosted = PostMessageW(GetWindowHandle(), WM_DESTROY, 0, 0) != FALSE;
        }
        // While connected, the idle pause is spent waiting on the gateway socket instead of
        // sleeping before it: the pass lasts as long, costs one wake-up instead of two, and
        // traffic ends it at once.
        const bool idle = ElapsedSince(idleSince) > kIdleThresholdMs;
        const uint32_t idleInPoll = idle && ClientConnected() ? kIdleSleepMs : 0;
        if (idle && idleInPoll == 0) {
            Sleep(kIdleSleepMs);
        }
        if (gGatewayClient == nullptr) {
            BM_ASSERT_REPORT();
        }
        const bool running = tablet.IsRunning();
        const int32_t runningValue = running ? 1 : 0;
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
            Sleep(kIdleSleepMs + idleInPoll);
        } else if (gGatewayClient != nullptr) {
            if (gGatewayClient->Poll(&window, REQUEST_ID_ALL, kSupervisorPollWaitMs + idleInPoll) ==
                BmServer::kPollHandled) {
                idleSince = GetTickCount();
            }
            if (gFirstConnectCheck && ClientConnected() && LiveWindow() == &window) {
                RunInstallCheck(window, tablet);
            }
            if (gMonitorMode != 0 && ClientConnected() && LiveWindow() == &window) {
                RunVersionCheck(window, tablet);
            }
        }
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (IsLoopEndMessage(msg.message)) {
                break;
            }
        }
    }
    return msg.wParam != 0 ? 1 : 0;
}
