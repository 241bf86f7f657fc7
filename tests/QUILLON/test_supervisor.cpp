// The supervisor loop's decisions with scripted tablet application answers: the version-check
// table, the one-shot installation check, the two regimes and the loop's result.
#include "COMMON/BM_OS/namedmutex.h"
#include "COMMON/BM_UI/uicontrol.h"
#include "QUILLON/programstate.h"
#include "QUILLON/quillon.h"
#include "QUILLON/supervisor.h"
#include "tests/QUILLON/support_window.h"

namespace {
using Lines = std::vector<std::string>;

class Supervisor : public LauncherWindowTest {
protected:
    // The lines added after "Quillon Startup".
    Lines Added() {
        Lines lines = StatusLines();
        lines.erase(lines.begin());
        return lines;
    }
};

TEST_F(Supervisor, VersionCheckWithoutAnyVersionSaysOnlyThatItAsked) {
    RunVersionCheck(Window(), tablet_);
    EXPECT_EQ(Added(), Lines{"Getting Version Info..."});
    EXPECT_EQ(tablet_.downloads, 0);
    EXPECT_TRUE(tablet_.launches.empty());
}

TEST_F(Supervisor, VersionCheckWithoutTheGatewaysAnswerReportsIt) {
    tablet_.haveLocal = true;
    tablet_.local = "1.2.3.4";
    RunVersionCheck(Window(), tablet_);
    EXPECT_EQ(Added(), (Lines{"Getting Version Info...", "Error Getting Version Info From Gateway..."}));
    EXPECT_EQ(TextOf(Window().localVersion), "1.2.3.4");
    EXPECT_EQ(TextOf(Window().gatewayVersion), "UNKNOWN");  // unread texts keep their value
    EXPECT_TRUE(tablet_.launches.empty());
}

TEST_F(Supervisor, VersionCheckInstallsAMissingApplication) {
    tablet_.haveGateway = true;
    RunVersionCheck(Window(), tablet_);
    tablet_.downloadOk = false;
    RunVersionCheck(Window(), tablet_);
    EXPECT_EQ(Added(),
              (Lines{"Getting Version Info...", "Torvix missing: loading...", "Torvix Loaded OK",
                     "Getting Version Info...", "Torvix missing: loading...", "ERROR: Can't load Torvix"}));
    EXPECT_EQ(tablet_.downloads, 2);
    EXPECT_TRUE(tablet_.launches.empty());  // never in the same pass as a download
}

TEST_F(Supervisor, VersionCheckLaunchesOnlyOnExactlyEqualTexts) {
    tablet_.haveLocal = tablet_.haveGateway = true;
    tablet_.local = "1.2.3.4";
    tablet_.gateway = "1.2.3.04";
    RunVersionCheck(Window(), tablet_);
    EXPECT_EQ(Added(), (Lines{"Getting Version Info...", "Got Version Info OK", "Wrong version, loading...",
                              "Success"}));
    EXPECT_TRUE(tablet_.launches.empty());

    tablet_.gateway = "1.2.3.4";
    tablet_.launchOk = false;  // its result is not reported
    RunVersionCheck(Window(), tablet_);
    const Lines lines = Added();
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
              (Lines{"Getting Version Info...", "Got Version Info OK", "OK to start: launching..."}));
    EXPECT_EQ(tablet_.launches, std::vector<bool>{false});
    EXPECT_EQ(TextOf(Window().gatewayVersion), "1.2.3.4");
}

TEST_F(Supervisor, VersionCheckReportsAFailedReplacement) {
    tablet_.haveLocal = tablet_.haveGateway = true;
    tablet_.gateway = "2.0.0.0";
    tablet_.downloadOk = false;
    RunVersionCheck(Window(), tablet_);
    EXPECT_EQ(Added().back(), "Error Loading Torvix");
}

TEST_F(Supervisor, InstallCheckRunsOnceAndStartsWhatItInstalled) {
    RunInstallCheck(Window(), tablet_);
    EXPECT_FALSE(gFirstConnectCheck);
    EXPECT_EQ(Added(), (Lines{"No local version: loading...", "Torvix Loaded OK", "Staring Torvix...",
                              "TORVIX.EXE Started OK"}));
    EXPECT_EQ(tablet_.launches, std::vector<bool>{false});
}

TEST_F(Supervisor, InstallCheckFailures) {
    tablet_.launchOk = false;
    RunInstallCheck(Window(), tablet_);
    EXPECT_EQ(Added().back(), "ERROR: Can't start TORVIX.EXE");
    tablet_.downloadOk = false;
    RunInstallCheck(Window(), tablet_);
    EXPECT_EQ(Added().back(), "ERROR: Can't Load Torvix");
    // Something installed: nothing to do.
    tablet_.haveLocal = true;
    const size_t before = StatusLines().size();
    RunInstallCheck(Window(), tablet_);
    EXPECT_EQ(StatusLines().size(), before);
}

TEST_F(Supervisor, NotRunningShowsTheWindow) {
    ShowWindow(Handle(), SW_HIDE);
    PostQuitMessage(0);
    EXPECT_EQ(Window().RunSupervisor(), 0);
    EXPECT_EQ(Added(), Lines{"Restoring QUILLON"});
    EXPECT_TRUE(IsWindowVisible(Handle()));
    EXPECT_EQ(Window().appRunning, 0);
    // The gateway client was never started: no connection, so no checks ran.
    EXPECT_TRUE(gFirstConnectCheck);
}

TEST_F(Supervisor, RunningHidesTheWindowAndTheShutdownMutexStopsMonitoring) {
    ASSERT_TRUE(gShutdownMutex.Create(kShutdownMutexName));
    NamedMutex heldByTheApplication;  // a second open of the lock conflicts like another process
    ASSERT_TRUE(heldByTheApplication.Create(kShutdownMutexName));
    ASSERT_EQ(heldByTheApplication.Wait(0), WaitResult::Signalled);
    tablet_.running = true;
    PostQuitMessage(1);
    EXPECT_EQ(Window().RunSupervisor(), 1);  // the quit message's wParam
    EXPECT_EQ(Added(), (Lines{"Hiding QUILLON", "ShutdownMutex"}));
    EXPECT_FALSE(IsWindowVisible(Handle()));
    EXPECT_EQ(gMonitorMode, 0);

    // Without the application's hold, monitoring stays as it is.
    heldByTheApplication.Close();
    gMonitorMode = 1;
    PostMessageW(Handle(), WM_CLOSE, 0, 0);
    Window().RunSupervisor();
    EXPECT_EQ(gMonitorMode, 1);
    EXPECT_EQ(Added().back(), "ShutdownMutex");  // no new line
    EXPECT_EQ(Added().size(), 2u);
}

TEST_F(Supervisor, APostedCloseIsHandledAndEndsTheLoopWithZero) {
    PostMessageW(Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(Window().RunSupervisor(), 0);
    EXPECT_FALSE(IsWindowVisible(Handle()));  // the close handling hides, it does not destroy
    EXPECT_NE(LiveWindow(), nullptr);
}

TEST_F(Supervisor, ExitPostsDestroyWhichDeletesTheWindowAndEndsTheLoop) {
    PostMessageW(Handle(), WM_COMMAND, 1130, 0);
    EXPECT_EQ(Window().RunSupervisor(), 0);
    EXPECT_EQ(LiveWindow(), nullptr);
}
}  // namespace
