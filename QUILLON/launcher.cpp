#include "QUILLON/launcher.h"

#include <ctime>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/devicepath.h"
#include "QUILLON/commandids.h"
#include "QUILLON/devicedata.h"
#include "QUILLON/launcherview.h"
#include "QUILLON/restartbackoff.h"
#include "QUILLON/torvix.h"

namespace {
constexpr char16_t kUnknownVersion[] = u"UNKNOWN";
}  // namespace

Launcher::Launcher(BmServer* client)
    : client_(client),
      real_(std::make_unique<DeviceTablet>(*this)),
      pacing_(FirstBackoffPauseMs()),
      lastCheck_(GetTickCount()) {
    localVersion.AssignWide(kUnknownVersion);
    gatewayVersion.AssignWide(kUnknownVersion);
    LoadDeviceData(devMode);
    AddTimedSteps();
}

void Launcher::AddTimedSteps() {
    const auto idle = [this] { return ChecksHeldMs() == 0 && appRunning == 0; };
    loop_.AddTimedStep([this](uint32_t) {
        const uint32_t held = ChecksHeldMs();
        return held > 0 ? held : kWaitForever;
    });
    loop_.AddTimedStep([this](uint32_t) { return ChecksHeldMs() == 0 && checkAgainNow_ ? 0 : kWaitForever; });
    loop_.AddTimedStep(
        [this, idle](uint32_t now) { return idle() ? MsUntilReevaluation(now) : kWaitForever; });
    loop_.AddTimedStep([this, idle](uint32_t) {
        const bool discovering = client_ != nullptr && !client_->IsConnected() && client_->ConnectEnabled();
        return idle() && discovering ? kIdleSleepMs : kWaitForever;
    });
    // A run on trial passes after a minute, while it still runs.
    loop_.AddTimedStep([this](uint32_t now) { return Releases().MsUntilPassed(now); });
    // A start or download pause ends on the clock: look again now and then while one lasts.
    loop_.AddTimedStep([this, idle](uint32_t now) {
        const bool paused = !pacing_.MayLaunch(now) || !pacing_.MayDownload(now);
        return idle() && paused ? kPauseRecheckMs : kWaitForever;
    });
}

Launcher::~Launcher() {
    shutdownMutex_.Release();
    shutdownMutex_.Close();
}

void Launcher::TabletStarted(pid_t pid) {
    children_.Started(pid, GetTickCount());
    Releases().Started(GetTickCount());
    HoldChecks(LaunchPauseMs());
}

bool Launcher::Connected() const {
    return client_ != nullptr && client_->IsConnected();
}

TabletOps& Launcher::Tablet() {
    return ops_ != nullptr ? *ops_ : *real_;
}

void Launcher::HoldChecks(uint32_t ms) {
    holdStart_ = GetTickCount();
    holdMs_ = ms;
}

uint32_t Launcher::ChecksHeldMs() {
    const uint32_t elapsed = ElapsedSince(holdStart_);
    if (holdMs_ == 0 || elapsed >= holdMs_) {
        holdMs_ = 0;
        return 0;
    }
    return holdMs_ - elapsed;
}

uint32_t Launcher::MsUntilReevaluation(uint32_t now) const {
    if (appRunning != 0) {
        return kWaitForever;
    }
    const uint32_t elapsed = now - lastCheck_;
    return elapsed > kReevaluateMs ? 0 : kReevaluateMs + 1 - elapsed;
}

void Launcher::Push(const char16_t* text) {
    if (view_ != nullptr) {
        view_->ShowStatus(BmString(text));
    }
}

ReleaseKeeper& Launcher::Releases() {
    const std::string installed = DeviceFilePath(TorvixPath(devMode != 0).NarrowText());
    if (!releases_ || releases_->Files().Installed() != installed) {
        releases_ = std::make_unique<ReleaseKeeper>(installed, RollbackEnabled());
        ShowReleaseReport(releases_->Recover(static_cast<int64_t>(std::time(nullptr))), view_);
    }
    return *releases_;
}

void Launcher::Reap() {
    const uint32_t now = GetTickCount();
    ReleaseKeeper& releases = Releases();
    ShowReleaseReport(releases.StillRunning(now), view_);
    const std::optional<TabletEnd> end = children_.Reap(now);
    if (!end) {
        return;
    }
    const ReleaseKeeper::Report report =
        releases.RunEnded(end->runMs, static_cast<int64_t>(std::time(nullptr)));
    pacing_.TabletEnded(*end, report.launchNow, view_, now);
    ShowReleaseReport(report, view_);
}

bool Launcher::RunChecks() {
    checkAgainNow_ = false;
    TabletOps& tablet = Tablet();
    const bool running = tablet.IsRunning();
    const int32_t runningValue = running ? 1 : 0;
    if (runningValue != appRunning || (ElapsedSince(lastCheck_) > kReevaluateMs && !running)) {
        lastCheck_ = GetTickCount();
        const bool changed = runningValue != appRunning;
        appRunning = runningValue;
        if (view_ != nullptr) {
            view_->RebuildInfoPanel();
        }
        if (changed) {
            Push(running ? u"Hiding QUILLON" : u"Restoring QUILLON");
            if (view_ != nullptr) {
                view_->ShowLauncher(!running);
            }
        }
    }
    if (running) {
        // The tablet application holds this mutex to say it must not be restarted.
        if (shutdownMutex_.Wait(kShutdownMutexWaitMs) != WaitResult::Signalled) {
            Push(u"ShutdownMutex");
            monitorMode = 0;
        }
        shutdownMutex_.Release();
        if (Connected()) {
            client_->Connection().Disconnect();
        }
    } else if (client_ != nullptr) {
        // The wait for the gateway's bytes is the loop's own wait.
        client_->Poll(view_, REQUEST_ID_ALL, 0);
        if (firstConnectCheck && Connected() && view_ != nullptr) {
            RunInstallCheck();
        }
        if (monitorMode != 0 && Connected() && view_ != nullptr && ChecksHeldMs() == 0) {
            RunVersionCheck();
        }
    }
    return running;
}

void Launcher::RunInstallCheck() {
    firstConnectCheck = false;
    TabletOps& tablet = Tablet();
    BmString scratch;
    if (tablet.LocalVersion(&scratch)) {
        return;
    }
    Push(u"No local version: loading...");
    const bool loaded = tablet.Download(view_);
    pacing_.DownloadDone(loaded, tablet.DownloadError(), view_, GetTickCount());
    if (!loaded) {
        Push(u"ERROR: Can't Load Torvix");
        return;
    }
    Push(u"Torvix Loaded OK");
    Push(u"Staring Torvix...");
    Push(tablet.Launch(false) ? u"TORVIX.EXE Started OK" : u"ERROR: Can't start TORVIX.EXE");
}

// The version check's download, skipped while the download pause lasts, between its two status
// lines; one that succeeded has the next pass follow at once, as its check starts the new version.
void Launcher::DownloadUnlessPaused(const char16_t* before, const char16_t* ok, const char16_t* failed) {
    if (!pacing_.MayDownload(GetTickCount())) {
        return;
    }
    Push(before);
    TabletOps& tablet = Tablet();
    const bool loaded = tablet.Download(view_);
    Push(loaded ? ok : failed);
    pacing_.DownloadDone(loaded, tablet.DownloadError(), view_, GetTickCount());
    checkAgainNow_ = loaded;
    refused_ = !loaded && UpdateTrust::IsRefusal(tablet.DownloadError());
    refusedVersion_ = gatewayVersion;
}

void Launcher::RunVersionCheck() {
    Push(u"Getting Version Info...");
    TabletOps& tablet = Tablet();
    const bool haveLocal = tablet.LocalVersion(&localVersion);
    const bool haveGateway = tablet.GatewayVersion(&gatewayVersion);
    if (view_ != nullptr) {
        view_->RebuildInfoPanel();
    }
    if (!haveGateway) {
        if (haveLocal) {
            Push(u"Error Getting Version Info From Gateway...");
        }
        return;
    }
    SendReleaseReport(Releases(), client_);
    if (!haveLocal) {
        pacing_.VersionSeen(false, view_, GetTickCount());
        DownloadUnlessPaused(u"Torvix missing: loading...", u"Torvix Loaded OK", u"ERROR: Can't load Torvix");
        return;
    }
    Push(u"Got Version Info OK");
    // Exact text equality: the gateway must answer in the same "%d.%d.%d.%d" form.
    const bool refused = RefusesOffer();
    const bool matches = localVersion.Equals(gatewayVersion) || refused;
    pacing_.VersionSeen(matches, view_, GetTickCount());
    if (matches) {
        if (pacing_.MayLaunch(GetTickCount())) {
            Push(u"OK to start: launching...");
            tablet.Launch(false);
        }
        return;
    }
    DownloadUnlessPaused(u"Wrong version, loading...", u"Success", u"Error Loading Torvix");
    // While the gateway offers a version whose signature was refused, the installed one (it
    // verified, or it would count as missing) keeps the kiosk going.
    if (refused_ && refusedVersion_.Equals(gatewayVersion) && pacing_.MayLaunch(GetTickCount())) {
        Push(u"Update refused: starting the installed version...");
        tablet.Launch(false);
    }
}

bool Launcher::RefusesOffer() {
    const ReleaseGuard::OfferOutcome offer =
        Releases().JudgeOffer(gatewayVersion.NarrowText(), localVersion.NarrowText());
    if (!offer.statusLine.empty() && view_ != nullptr) {
        view_->ShowStatus(BmString(offer.statusLine.c_str()));
    }
    return offer.refuse;
}

void Launcher::RunCommand(uint64_t id) {
    switch (id) {
        case IDM_GET_TORVIX:
            Tablet().Download(view_);
            break;
        case IDM_START_TORVIX:
            Tablet().Launch(false);
            break;
        case IDM_START_TORVIX_REMOTE:
            Tablet().Launch(true);
            break;
        case IDM_MONITOR_MODE:
            monitorMode = monitorMode == 0 ? 1 : 0;
            break;
        case IDM_EXIT:
            if (view_ != nullptr) {
                view_->RequestExit();
            }
            break;
        case IDM_STARTUP_DEFAULTS:
            Push(u"Startup Defaults");
            monitorMode = 1;
            if (view_ != nullptr) {
                view_->ShowLauncher(true);
            }
            break;
        case IDM_DEV_MODE:
            devMode = devMode == 0 ? 1 : 0;
            SaveDeviceData(devMode);
            Releases();  // the other executable's files: recovered before anything touches them
            break;
        case IDM_CLEANUP_DESKTOP:
        case IDM_TORVIX_RUNNING:
        case IDM_RESTART_NETWORK:
        default:
            break;
    }
}

MenuState Launcher::MenuFacts() {
    TabletOps& tablet = Tablet();
    MenuState state;
    state.appRunning = tablet.IsRunning();
    state.connected = Connected();
    BmString scratchLocal;
    state.haveLocal = tablet.LocalVersion(&scratchLocal);
    BmString scratchGateway;
    state.haveGateway = tablet.GatewayVersion(&scratchGateway);
    state.monitorMode = monitorMode != 0;
    state.devMode = devMode != 0;
    return state;
}
