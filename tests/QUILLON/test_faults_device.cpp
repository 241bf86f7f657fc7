// The device under stress: a full device root during a download, a tablet application that
// crashes at every start, and a launcher killed outright and started again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "tests/QUILLON/support_faults.h"

namespace {
constexpr int kStepMs = 10000;
const std::string kExe = "TORVIX.EXE";

// A device root on a tmpfs of `bytes`, or a skip with the reason.
#define MOUNT_SMALL_ROOT(mountName, world, bytes)                                                  \
    TmpfsMount mountName((world).Root(), (bytes));                                                 \
    if (!mountName.Mounted()) {                                                                    \
        GTEST_SKIP() << "needs a tmpfs of its own (root or CAP_SYS_ADMIN): " << mountName.Error(); \
    }

TEST(FullDeviceRoot, ADownloadThatDoesNotFitKeepsTheOldExecutableAndSucceedsOnceThereIsRoom) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    MOUNT_SMALL_ROOT(small, world, 2 * 1024 * 1024);
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    const std::string before = ReadFile(world.Root() + "/" + kExe);
    // Leaves about 100 KB: a fraction of the new executable.
    const unsigned long long room = small.FreeBytes();
    ASSERT_GT(room, 200000u);
    ASSERT_TRUE(WriteFile(world.Root() + "/filler", std::string(room - 100000, 'x')));
    const unsigned long long freeBefore = small.FreeBytes();
    ASSERT_TRUE(world.Publish("2.0.0.0"));
    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.StartLauncher());

    ASSERT_TRUE(world.WaitSequence(
        {"Wrong version, loading...", "ERROR: Could not Download new EXE", "Error Loading Torvix",
         "Wrong version, loading...", "ERROR: Could not Download new EXE"},
        kStepMs))
        << world.Transcript();
    EXPECT_EQ(world.CountStatus("Download Sucess"), 0u);
    EXPECT_EQ(ReadFile(world.Root() + "/" + kExe), before);
    EXPECT_EQ(small.FreeBytes(), freeBefore) << "a partial file is left behind";
    EXPECT_TRUE(world.TabletPids().empty());

    // Room again: the next pass installs and starts the new version.
    ASSERT_EQ(unlink((world.Root() + "/filler").c_str()), 0);
    const size_t from = world.Launcher().LineCount();
    ASSERT_TRUE(
        world.WaitSequence({"Download Sucess", "Success", "OK to start: launching..."}, kStepMs, from))
        << world.Transcript();
    ASSERT_TRUE(world.WaitTabletCount(1, 3000));
    world.StopTabletApps();
    world.Launcher().Stop();
    EXPECT_EQ(ReadFile(world.Root() + "/" + kExe), ReadFile(world.ServedFile()));
    EXPECT_EQ(NamesIn(world.Root()), LauncherWorld::UpdatedRootNames());
}

TEST(FullDeviceRoot, AFirstInstallThatDoesNotFitLeavesNoExecutableAndStartsNothing) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    // Half the application's size, whatever the build made of it.
    struct stat served {};
    ASSERT_EQ(stat(world.ServedFile().c_str(), &served), 0);
    const size_t room = std::max<size_t>(64 * 1024, static_cast<size_t>(served.st_size) / 2 & ~size_t{4095});
    MOUNT_SMALL_ROOT(small, world, room);
    const unsigned long long freeBefore = small.FreeBytes();
    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.WaitSequence(
        {"No local version: loading...", "ERROR: Could not Download new EXE", "ERROR: Can't Load Torvix",
         "Torvix missing: loading...", "ERROR: Could not Download new EXE", "ERROR: Can't load Torvix"},
        kStepMs))
        << world.Transcript();
    world.Launcher().Stop();
    EXPECT_EQ(world.CountStatus("Staring Torvix..."), 0u);
    EXPECT_EQ(world.CountStatus("OK to start: launching..."), 0u);
    EXPECT_EQ(NamesIn(world.Root()), std::vector<std::string>{});
    EXPECT_EQ(small.FreeBytes(), freeBefore);
}

TEST(CrashingApplication, TwentyCrashesInARowAreEachRestartedWithTheLauncherStillSane) {
    constexpr size_t kCrashes = 20;
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.StartLauncher({}, {"DEMO_APP_CRASH=1"}));
    const pid_t launcher = world.Launcher().Pid();

    ASSERT_TRUE(WaitStatusCount(world, "OK to start: launching...", 3, kStepMs)) << world.Transcript();
    const int fdsEarly = OpenFdCount(launcher);
    ASSERT_TRUE(WaitStatusCount(world, "OK to start: launching...", kCrashes, 60000)) << world.Transcript();
    // Each start is one real start that ended at once.
    ASSERT_TRUE(WaitStatusCount(world, "Connected to gateway.", kCrashes + 1, kStepMs)) << world.Transcript();
    EXPECT_GE(world.Launcher().CountLines("demo-app 1.0.0.1 started"), kCrashes);
    EXPECT_TRUE(world.Launcher().Running());
    EXPECT_LE(OpenFdCount(launcher), fdsEarly + 2) << "descriptors grow with every restart";
    EXPECT_TRUE(WaitUntil([&] { return ZombieChildren(launcher).empty(); }, 1000, 20))
        << "crashed applications are never reaped";
    // One connection at a time: every earlier one was closed before the next was made.
    EXPECT_LE(world.Gateway().CountLines("ACCEPT "), world.Gateway().CountLines("DISCONNECT ") + 1)
        << world.Gateway().Transcript();

    // The window still answers a tap with its menu, and shows.
    const size_t from = world.Launcher().LineCount();
    ASSERT_TRUE(world.Control("MENU none"));
    ASSERT_TRUE(world.Control("TAP 100 100"));
    EXPECT_TRUE(world.WaitPrefix("MENU: ", kStepMs, from)) << world.Transcript();
    EXPECT_EQ(world.CountStatus("WINDOW: hide \"ZenoLauncher: Tap Below for Options\""),
              world.CountStatus("WINDOW: show \"ZenoLauncher: Tap Below for Options\"") - 1);
}

TEST(CrashingApplication, ThreeQuickEndsInARowPauseTheNextStartLongerEachTime) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.StartLauncher({}, {"DEMO_APP_CRASH=1", "QUILLON_BACKOFF_MS=1000"}));
    auto third = world.WaitSequence(
        {"Torvix exited with code 70 after 0 s", "Torvix exited with code 70 after 0 s",
         "Torvix exited with code 70 after 0 s", "Torvix ended after 0 s, 3 times: next start in 1 s"},
        kStepMs);
    ASSERT_TRUE(third) << world.Transcript();
    Stopwatch paused;
    size_t next = 0;
    ASSERT_TRUE(world.WaitStatus("OK to start: launching...", kStepMs, *third + 1)) << world.Transcript();
    EXPECT_GE(paused.ElapsedMs(), 800);
    ASSERT_TRUE(
        world.WaitPrefix("Torvix ended after 0 s, 4 times: next start in 2 s", kStepMs, *third + 1, &next))
        << world.Transcript();
    EXPECT_EQ(world.Launcher().CountLines("demo-app 1.0.0.1 started"), 4u);
    EXPECT_TRUE(ZombieChildren(world.Launcher().Pid()).empty());
}

TEST(LostRuntimeFolder, IsSaidOnceAndTheApplicationCountsAsNotRunning) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can give the runtime folder to another user; skipped";
    }
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.WaitStatus("Restoring QUILLON", kStepMs)) << world.Transcript();
    ASSERT_EQ(chown(world.RuntimeDir().c_str(), 4321, 4321), 0);
    const std::string said =
        "quillon: runtime folder unusable (" + world.RuntimeDir() + ": owned by uid 4321";
    EXPECT_TRUE(world.WaitPrefix(said, kStepMs)) << world.Transcript();
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    EXPECT_EQ(world.Launcher().CountLines(said), 1u) << world.Transcript();
    EXPECT_EQ(world.CountStatus("Hiding QUILLON"), 0u) << world.Transcript();
    EXPECT_TRUE(world.Launcher().Running());
    ASSERT_EQ(chown(world.RuntimeDir().c_str(), 0, 0), 0);
}

// Every status line repaints the window; a repaint must not keep its off-screen bitmap. Under
// AddressSanitizer freed blocks stay resident in its quarantine, so the figure means nothing there.
TEST(LongSearch, MemoryStaysFlatWhileStatusLinesKeepComing) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "resident memory is not a measure under AddressSanitizer";
#endif
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartLauncher());
    // No gateway: a "Waiting for ping response." line on every discovery attempt, about 16 a
    // second (standard error shows the first and then counts them).
    ASSERT_TRUE(world.WaitStatus("Waiting for ping response.", kStepMs)) << world.Transcript();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long before = ProcStatusField(world.Launcher().Pid(), "VmRSS");
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(900));
    }
    const long after = ProcStatusField(world.Launcher().Pid(), "VmRSS");
    ASSERT_GT(before, 0);
    EXPECT_LT(after - before, 4096) << "kB gained over about 40 status lines";
    // Standard error holds the first line of the run and no repeat of it.
    EXPECT_EQ(world.CountStatus("Waiting for ping response."), 1u) << world.Transcript();
}

TEST(KilledLauncher, AStartAfterSigkillIsTheFirstInstanceAndInstalls) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.WaitStatus("Restoring QUILLON", kStepMs)) << world.Transcript();
    ASSERT_FALSE(world.LockIsFree("QuillonMutex"));
    world.Launcher().Signal(SIGKILL);
    ASSERT_TRUE(world.Launcher().WaitExit(kStepMs));

    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.WaitSequence(
        {"Quillon Startup", "Connected to gateway.", "Download Sucess", "TORVIX.EXE Started OK"}, kStepMs))
        << world.Transcript();
    EXPECT_TRUE(world.Launcher().Running());
    EXPECT_FALSE(world.LockIsFree("QuillonMutex"));
    // A second instance still finds the restarted window.
    PeerProcess second;
    ASSERT_TRUE(world.StartSecondLauncher(second));
    auto status = second.WaitExit(kStepMs);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_TRUE(world.WaitStatus("Startup Defaults", kStepMs)) << world.Transcript();
}

TEST(KilledLauncher, ARestartWhileTheApplicationRunsHidesAndTakesOverWhenItEnds) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.StartLauncher({}, {"DEMO_APP_SECONDS=3"}));
    ASSERT_TRUE(world.WaitStatus("Hiding QUILLON", kStepMs)) << world.Transcript();
    ASSERT_EQ(world.TabletPids().size(), 1u);
    const pid_t app = world.TabletPids().front();
    world.Launcher().Signal(SIGKILL);
    ASSERT_TRUE(world.Launcher().WaitExit(kStepMs));
    // The application lives on in its own session.
    EXPECT_EQ(world.TabletPids(), std::vector<pid_t>{app});

    ASSERT_TRUE(world.StartLauncher({}, {"DEMO_APP_SECONDS=60"}));
    ASSERT_TRUE(world.WaitSequence({"Quillon Startup", "Hiding QUILLON", "Restoring QUILLON",
                                    "Connected to gateway.", "OK to start: launching..."},
                                   kStepMs))
        << world.Transcript();
    // The old application lets go of its mutex a moment before it is gone: wait for the new one
    // alone rather than for any one.
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::vector<pid_t> pids = world.TabletPids();
            return pids.size() == 1 && pids.front() != app;
        },
        3000, 20))
        << world.Transcript();
}
}  // namespace
