// Launcher: the launcher's core, the one owner of its state -- the gateway client in use,
// monitor mode, dev mode, the one-shot installation check, the hold on the checks after a start
// and the follow-up check after an install, the start and download pacing, the started
// application's record, the tablet operations -- and the pass logic over it: the running-state
// evaluation, the installation check, the version check, the menu's commands. It shows what it
// does through a LauncherView and never touches a window itself, so it runs without one.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "COMMON/BM_OS/namedmutex.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "QUILLON/eventloop.h"
#include "QUILLON/launchpacing.h"
#include "QUILLON/menumodel.h"
#include "QUILLON/releasekeeper.h"
#include "QUILLON/tabletchild.h"
#include "QUILLON/tablethost.h"
#include "QUILLON/updatetrust.h"

class BmServer;
class LauncherView;
class TabletOps;

class Launcher final : public TabletHost {
public:
    static constexpr uint32_t kReevaluateMs = 5000;  // re-evaluation while not running
    static constexpr uint32_t kShutdownMutexWaitMs = 100;
    static constexpr uint32_t kIdleSleepMs = 10;       // between discovery attempts while not connected
    static constexpr uint32_t kPauseRecheckMs = 1000;  // while a start or download pause lasts

    // `client` (not owned, may be null) is the gateway client; devMode is loaded from the device
    // data file; the pacing takes FirstBackoffPauseMs(); the core's timed steps are registered
    // in its loop.
    explicit Launcher(BmServer* client);
    // Releases and closes the shutdown mutex.
    ~Launcher() override;
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    // The view (not owned; null: status lines are dropped and the checks that need one skip).
    void SetView(LauncherView* view) { view_ = view; }

    // TabletHost.
    BmServer* GatewayClient() override { return client_; }
    bool DevMode() const override { return devMode != 0; }
    LauncherView* View() override { return view_; }
    // Records `pid` as a started application and holds the checks for LaunchPauseMs().
    void TabletStarted(pid_t pid) override;
    // Unchecked until the assembly loads the trusted keys into it.
    UpdateTrust* Trust() override { return &trust_; }
    // The installer keeps the previous version and begins a trial through it.
    ReleaseKeeper* InstallReleases() override { return &Releases(); }

    // True when the gateway client exists and is connected.
    bool Connected() const;

    // The tablet operations in force: the real ones (DeviceTablet) unless a test set others.
    TabletOps& Tablet();
    // Installs `ops` (not owned); nullptr restores the real operations.
    void SetTabletOps(TabletOps* ops) { ops_ = ops; }

    // The loop's registry of sources. The core's timed steps are in it from the start: the end of
    // the hold, the follow-up check, the re-evaluation while not running, discovery pacing while
    // not connected, the pass of a run on trial after a minute, a look every second while a pause
    // lasts (all but the first two and the trial's silent while the checks are held). Others register here
    // before the loop runs (Add, AddTimedStep).
    EventLoop& Loop() { return loop_; }
    LaunchPacing& Pacing() { return pacing_; }
    // Safe updates of the executable in use (dev mode picks which): made and recovered (its lines
    // on the view) on first use and after a switch of dev mode.
    ReleaseKeeper& Releases();
    // The keeper as made so far (null before first use); makes none.
    const ReleaseKeeper* MadeReleases() const { return releases_.get(); }
    TabletChild& Children() { return children_; }
    // "ShutdownQuillonMutex", which the application may hold to switch the automatic restart off
    // (opened by the assembly).
    NamedMutex& ShutdownMutex() { return shutdownMutex_; }

    // Holds the checks (running state, gateway, installation and version) for `ms` from now, as
    // after a start: the application gets that long to take its mutex. A later call replaces it.
    void HoldChecks(uint32_t ms);
    // Milliseconds left of the hold (0: none).
    uint32_t ChecksHeldMs();
    // A version check has just installed a new version: the next pass, whose check starts it,
    // follows at once.
    bool CheckAgainNow() const { return checkAgainNow_; }
    // Milliseconds from tick `now` until the running state is evaluated again while the
    // application does not run (kWaitForever while it runs).
    uint32_t MsUntilReevaluation(uint32_t now) const;

    // Reaps an ended application, shows how it ended, counts it for the version on trial and rolls
    // a failed trial back (the previous version then starts without a pause); a run on trial for
    // more than a minute passes it. Never blocks, except to hash the executable at a roll back.
    void Reap();
    // One pass's checks: evaluates the running state (a change rebuilds the panel and hides or
    // shows the view); while the application runs, looks at the shutdown mutex and drops the
    // gateway link; else polls the gateway once without waiting and runs the installation check
    // (once) and the version check (in monitor mode) while connected. Returns whether the
    // application runs. Blocks for the checks' round trips and downloads.
    bool RunChecks();
    // The one-shot installation check: when nothing is installed, download and start it.
    void RunInstallCheck();
    // The version check: compare the installed version with the gateway's and download or
    // launch. Updates localVersion / gatewayVersion with what could be read. A download or a
    // start is skipped while its pause is in force; after a download that succeeded the next
    // pass follows at once (CheckAgainNow). While the gateway's version is one whose download was
    // refused for its signature, the installed version is started (start pause permitting).
    void RunVersionCheck();
    // Carries out menu command `id` (1125..1134; others are ignored).
    void RunCommand(uint64_t id);
    // What the menu shows for the present state (asks the tablet and the gateway).
    MenuState MenuFacts();

    // State the view shows.
    int32_t monitorMode = 1;  // automatic version check and launch
    int32_t devMode = 0;      // viewer variant of the tablet application
    bool firstConnectCheck = true;
    BmString localVersion;
    BmString gatewayVersion;
    int32_t appRunning = -1;

private:
    void AddTimedSteps();
    void Push(const char16_t* text);
    // The gateway offers a release that was rolled back: true when the installed version is to be
    // started instead (the first time for this offer, a line says why).
    bool RefusesOffer();
    void DownloadUnlessPaused(const char16_t* before, const char16_t* ok, const char16_t* failed);

    BmServer* client_;
    LauncherView* view_ = nullptr;
    std::unique_ptr<TabletOps> real_;
    TabletOps* ops_ = nullptr;
    LaunchPacing pacing_;
    std::unique_ptr<ReleaseKeeper> releases_;
    TabletChild children_;
    NamedMutex shutdownMutex_;
    uint32_t holdStart_ = 0;
    uint32_t holdMs_ = 0;
    bool checkAgainNow_ = false;
    UpdateTrust trust_;
    // The gateway's version whose last download was refused for its signature.
    bool refused_ = false;
    BmString refusedVersion_;
    uint32_t lastCheck_;
    EventLoop loop_;
};
