// The supervisor loop's decisions with scripted tablet application answers: the version-check
// table, the one-shot installation check, the two regimes, the loop's result, and the pauses
// after repeated failures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/namedmutex.h"
#include "COMMON/BM_UI/uicontrol.h"
#include "QUILLON/launchpacing.h"
#include "QUILLON/quillon.h"
#include "QUILLON/restartbackoff.h"
#include "QUILLON/supervisor.h"
#include "QUILLON/tabletchild.h"
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
    // The lines added since the last call.
    Lines NewLines() {
        Lines lines = Added();
        Lines fresh(lines.begin() + static_cast<std::ptrdiff_t>(std::min(seen_, lines.size())), lines.end());
        seen_ = lines.size();
        return fresh;
    }
    // Real pauses of 10 s and more, on a clock the test moves.
    void WithPauses() {
        SetClock(&clock_);
        Core().Pacing().Reset(RestartBackoff::kFirstPauseMs);
    }
    void TearDown() override {
        SetClock(nullptr);
        LauncherWindowTest::TearDown();
    }
    // A child that ends with `code` (or is killed by `signal`), tracked as a started application.
    pid_t StartedChild(int code, int signal = 0) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (signal != 0) {
                pause();
            }
            _exit(code);
        }
        if (signal != 0) {
            kill(pid, signal);
        }
        Core().Children().Started(pid, GetTickCount());
        return pid;
    }
    // Reaps through the pacing until the tracked children are gone (real time, bounded).
    void ReapAll() {
        for (int i = 0; i < 400 && Core().Children().Tracked() > 0; ++i) {
            Core().Reap();
            if (Core().Children().Tracked() > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    }
    ManualClock clock_{1000};
    size_t seen_ = 0;
};

TEST_F(Supervisor, VersionCheckWithoutAnyVersionSaysOnlyThatItAsked) {
    Core().RunVersionCheck();
    EXPECT_EQ(Added(), Lines{"Getting Version Info..."});
    EXPECT_EQ(tablet_.downloads, 0);
    EXPECT_TRUE(tablet_.launches.empty());
}

TEST_F(Supervisor, VersionCheckWithoutTheGatewaysAnswerReportsIt) {
    tablet_.haveLocal = true;
    tablet_.local = "1.2.3.4";
    Core().RunVersionCheck();
    EXPECT_EQ(Added(), (Lines{"Getting Version Info...", "Error Getting Version Info From Gateway..."}));
    EXPECT_EQ(TextOf(Core().localVersion), "1.2.3.4");
    EXPECT_EQ(TextOf(Core().gatewayVersion), "UNKNOWN");  // unread texts keep their value
    EXPECT_TRUE(tablet_.launches.empty());
}

TEST_F(Supervisor, VersionCheckInstallsAMissingApplication) {
    tablet_.haveGateway = true;
    Core().RunVersionCheck();
    tablet_.downloadOk = false;
    Core().RunVersionCheck();
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
    Core().RunVersionCheck();
    EXPECT_EQ(Added(), (Lines{"Getting Version Info...", "Got Version Info OK", "Wrong version, loading...",
                              "Success"}));
    EXPECT_TRUE(tablet_.launches.empty());

    tablet_.gateway = "1.2.3.4";
    tablet_.launchOk = false;  // its result is not reported
    Core().RunVersionCheck();
    const Lines lines = Added();
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
              (Lines{"Getting Version Info...", "Got Version Info OK", "OK to start: launching..."}));
    EXPECT_EQ(tablet_.launches, std::vector<bool>{false});
    EXPECT_EQ(TextOf(Core().gatewayVersion), "1.2.3.4");
}

TEST_F(Supervisor, VersionCheckReportsAFailedReplacement) {
    tablet_.haveLocal = tablet_.haveGateway = true;
    tablet_.gateway = "2.0.0.0";
    tablet_.downloadOk = false;
    Core().RunVersionCheck();
    EXPECT_EQ(Added().back(), "Error Loading Torvix");
}

TEST_F(Supervisor, InstallCheckRunsOnceAndStartsWhatItInstalled) {
    Core().RunInstallCheck();
    EXPECT_FALSE(Core().firstConnectCheck);
    EXPECT_EQ(Added(), (Lines{"No local version: loading...", "Torvix Loaded OK", "Staring Torvix...",
                              "TORVIX.EXE Started OK"}));
    EXPECT_EQ(tablet_.launches, std::vector<bool>{false});
}

TEST_F(Supervisor, InstallCheckFailures) {
    tablet_.launchOk = false;
    Core().RunInstallCheck();
    EXPECT_EQ(Added().back(), "ERROR: Can't start TORVIX.EXE");
    tablet_.downloadOk = false;
    Core().RunInstallCheck();
    EXPECT_EQ(Added().back(), "ERROR: Can't Load Torvix");
    // Something installed: nothing to do.
    tablet_.haveLocal = true;
    const size_t before = StatusLines().size();
    Core().RunInstallCheck();
    EXPECT_EQ(StatusLines().size(), before);
}

TEST_F(Supervisor, NotRunningShowsTheWindow) {
    ShowWindow(Handle(), SW_HIDE);
    PostQuitMessage(0);
    EXPECT_EQ(Window().RunSupervisor(), 0);
    EXPECT_EQ(Added(), Lines{"Restoring QUILLON"});
    EXPECT_TRUE(IsWindowVisible(Handle()));
    EXPECT_EQ(Core().appRunning, 0);
    // The gateway client was never started: no connection, so no checks ran.
    EXPECT_TRUE(Core().firstConnectCheck);
}

TEST_F(Supervisor, RunningHidesTheWindowAndTheShutdownMutexStopsMonitoring) {
    ASSERT_TRUE(Core().ShutdownMutex().Create(kShutdownMutexName));
    NamedMutex heldByTheApplication;  // a second open of the lock conflicts like another process
    ASSERT_TRUE(heldByTheApplication.Create(kShutdownMutexName));
    ASSERT_EQ(heldByTheApplication.Wait(0), WaitResult::Signalled);
    tablet_.running = true;
    PostQuitMessage(1);
    EXPECT_EQ(Window().RunSupervisor(), 1);  // the quit message's wParam
    EXPECT_EQ(Added(), (Lines{"Hiding QUILLON", "ShutdownMutex"}));
    EXPECT_FALSE(IsWindowVisible(Handle()));
    EXPECT_EQ(Core().monitorMode, 0);

    // Without the application's hold, monitoring stays as it is.
    heldByTheApplication.Close();
    Core().monitorMode = 1;
    PostMessageW(Handle(), WM_CLOSE, 0, 0);
    Window().RunSupervisor();
    EXPECT_EQ(Core().monitorMode, 1);
    EXPECT_EQ(Added().back(), "ShutdownMutex");  // no new line
    EXPECT_EQ(Added().size(), 2u);
}

TEST_F(Supervisor, APostedCloseIsHandledAndEndsTheLoopWithZero) {
    PostMessageW(Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(Window().RunSupervisor(), 0);
    EXPECT_FALSE(IsWindowVisible(Handle()));  // the close handling hides, it does not destroy
    EXPECT_NE(LiveWindow(), nullptr);
}

// A gateway that declares a message near the size limit and sends it a byte every 2 ms must not
// hold the pass: the posted close is handled long before the trickle ends.
TEST_F(Supervisor, ATricklingGatewayDoesNotHoldThePass) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_TRUE(Client().Connection().Connect(address));
    const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        // Header: request id 0, message id 16, 900000 payload bytes; then at most 3 s of bytes.
        const unsigned char header[8] = {0, 0, 16, 0, 0xA0, 0xBB, 0x0D, 0};
        send(peer, header, sizeof header, MSG_NOSIGNAL);
        for (int i = 0; i < 1500 && !stop; ++i) {
            const unsigned char zero = 0;
            send(peer, &zero, 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    PostMessageW(Handle(), WM_CLOSE, 0, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Window().RunSupervisor(), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    stop = true;
    trickle.join();
    close(peer);
    close(listener);
    EXPECT_LT(took, std::chrono::milliseconds(1000));
}

TEST_F(Supervisor, ExitPostsDestroyWhichDeletesTheWindowAndEndsTheLoop) {
    PostMessageW(Handle(), WM_COMMAND, 1130, 0);
    EXPECT_EQ(Window().RunSupervisor(), 0);
    EXPECT_EQ(LiveWindow(), nullptr);
}

TEST(RestartBackoffRules, PausesGrowFromTheFailureThatBeginsThemAndStopAtFiveMinutes) {
    struct Case {
        const char* name;
        uint32_t freeFailures;
        std::vector<uint32_t> runsMs;  // each run ends 1 s after the previous end
        std::vector<uint32_t> pauses;  // the pause in force after each
    };
    const Case cases[] = {
        {"quick runs: the third pauses, then doubling",
         2,
         {2000, 2000, 2000, 2000, 2000},
         {0, 0, 10000, 20000, 40000}},
        {"a run over a minute starts again", 2, {1, 1, 1, 60001, 1, 1, 1}, {0, 0, 10000, 0, 0, 0, 10000}},
        {"a run between 10 s and a minute changes nothing", 2, {1, 1, 30000, 1}, {0, 0, 0, 10000}},
        {"exactly 10 s is not quick, exactly 60 s does not clear",
         2,
         {1, 1, 10000, 60000, 1},
         {0, 0, 0, 0, 10000}},
        {"downloads pause from the first failure", 0, {1, 1, 1}, {10000, 20000, 40000}},
        {"at most five minutes",
         0,
         std::vector<uint32_t>(12, 1),
         {10000, 20000, 40000, 80000, 160000, 300000, 300000, 300000, 300000, 300000, 300000, 300000}},
    };
    for (const Case& c : cases) {
        RestartBackoff backoff(c.freeFailures);
        uint32_t now = 0xFFFFF000u;  // across the clock's wrap
        std::vector<uint32_t> pauses;
        for (uint32_t run : c.runsMs) {
            now += 1000;
            backoff.RunEnded(run, now);
            pauses.push_back(backoff.PauseMs());
        }
        EXPECT_EQ(pauses, c.pauses) << c.name;
        const uint32_t pause = backoff.PauseMs();
        EXPECT_EQ(backoff.Ready(now + pause - 1), pause == 0) << c.name;
        EXPECT_TRUE(backoff.Ready(now + pause)) << c.name;
    }
    RestartBackoff none(0, 0);  // a first pause of 0: never a pause, however many failures
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(none.Fail(static_cast<uint32_t>(i)), 0u);
    }
    EXPECT_TRUE(none.Ready(0));
}

TEST_F(Supervisor, ApplicationsEndingSoonAfterTheirStartArePaused) {
    WithPauses();
    StartedChild(1);
    ReapAll();
    clock_.Advance(5000);
    StartedChild(0, SIGKILL);
    clock_.Advance(5000);
    ReapAll();
    EXPECT_EQ(NewLines(),
              (Lines{"Torvix exited with code 1 after 0 s", "Torvix killed by signal 9 after 5 s"}));
    EXPECT_TRUE(Core().Pacing().MayLaunch(GetTickCount()));
    StartedChild(70);
    clock_.Advance(2000);
    ReapAll();
    EXPECT_EQ(NewLines(), (Lines{"Torvix exited with code 70 after 2 s",
                                 "Torvix ended after 2 s, 3 times: next start in 10 s"}));

    // Equal versions while the pause lasts: no start; after it, a start.
    tablet_.haveLocal = tablet_.haveGateway = true;
    Core().RunVersionCheck();
    EXPECT_EQ(NewLines(), (Lines{"Getting Version Info...", "Got Version Info OK"}));
    clock_.Advance(10000);
    Core().RunVersionCheck();
    EXPECT_EQ(NewLines().back(), "OK to start: launching...");
    EXPECT_EQ(tablet_.launches.size(), 1u);
}

TEST_F(Supervisor, FailedDownloadsAndDownloadsOfTheWrongVersionArePaused) {
    WithPauses();
    tablet_.haveGateway = true;
    tablet_.downloadOk = false;
    Core().RunVersionCheck();
    EXPECT_EQ(NewLines(),
              (Lines{"Getting Version Info...", "Torvix missing: loading...", "ERROR: Can't load Torvix",
                     "Download failed (/root/TORVIX.EXE.download: No space left on device): next "
                     "try in 10 s"}));
    clock_.Advance(9999);
    Core().RunVersionCheck();
    EXPECT_EQ(NewLines(), Lines{"Getting Version Info..."});
    EXPECT_EQ(tablet_.downloads, 1);
    clock_.Advance(1);
    Core().RunVersionCheck();
    EXPECT_EQ(tablet_.downloads, 2);
    EXPECT_EQ(NewLines().back(),
              "Download failed (/root/TORVIX.EXE.download: No space left on device): next try in 20 s");

    // A download that works but leaves another version than the gateway's.
    tablet_.haveLocal = true;
    tablet_.gateway = "2.0.0.0";
    tablet_.downloadOk = true;
    clock_.Advance(20000);
    Core().RunVersionCheck();
    EXPECT_EQ(tablet_.downloads, 3);
    EXPECT_EQ(NewLines().back(), "Success");
    Core().RunVersionCheck();
    EXPECT_EQ(NewLines(), (Lines{"Getting Version Info...", "Got Version Info OK",
                                 "Version still differs after download: next try in 40 s"}));
    EXPECT_EQ(tablet_.downloads, 3);
    clock_.Advance(40000);
    Core().RunVersionCheck();
    EXPECT_EQ(tablet_.downloads, 4);

    // The right version at last: the count starts again and the next failure pauses 10 s.
    tablet_.gateway = tablet_.local;
    Core().RunVersionCheck();
    EXPECT_EQ(NewLines().back(), "OK to start: launching...");
    tablet_.gateway = "3.0.0.0";
    tablet_.downloadOk = false;
    Core().RunVersionCheck();
    EXPECT_EQ(NewLines().back(),
              "Download failed (/root/TORVIX.EXE.download: No space left on device): next try in 10 s");
}
}  // namespace
