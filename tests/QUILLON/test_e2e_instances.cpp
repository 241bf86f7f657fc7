// The real launcher with the signals other processes give it: the tablet application's
// "ShutdownQuillonMutex" (no automatic restart) and a second launcher ("Startup Defaults").
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "tests/QUILLON/support_launcher.h"
#include "tests/support/wait_until.h"

namespace {
constexpr int kStepMs = 10000;

TEST(LauncherInstances, ShutdownMutexStopsTheRestartUntilASecondLauncherRestoresTheDefaults) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.2.3.4"));
    ASSERT_TRUE(world.InstallLocal("1.2.3.4"));
    ASSERT_TRUE(world.StartGateway());
    // The application holds the shutdown mutex for its 1 s of life.
    ASSERT_TRUE(world.StartLauncher({}, {"DEMO_APP_SECONDS=1", "DEMO_APP_HOLD_SHUTDOWN=1"}));

    auto ran = world.WaitSequence({"OK to start: launching...", "Hiding QUILLON", "ShutdownMutex"}, kStepMs);
    ASSERT_TRUE(ran) << world.Transcript();
    auto back = world.WaitStatus("Restoring QUILLON", kStepMs, *ran + 1);
    ASSERT_TRUE(back) << world.Transcript();
    // Monitor mode is off now: reconnected, but no version check and no launch.
    ASSERT_TRUE(world.WaitStatus("Connected to gateway.", kStepMs, *back + 1)) << world.Transcript();
    EXPECT_FALSE(world.WaitStatus("Getting Version Info...", 1500, *back + 1)) << world.Transcript();
    EXPECT_TRUE(world.TabletPids().empty());
    const size_t versionRequests = world.Gateway().CountLines("VERSION_REQUEST");

    // A second launcher tells the first one and leaves at once with exit code 0.
    const size_t hellos = world.Gateway().CountLines("HELLO ");
    PeerProcess second;
    ASSERT_TRUE(world.StartSecondLauncher(second));
    auto status = second.WaitExit(5000);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_EQ(second.CountLines("Quillon Startup"), 0u) << second.Transcript();
    EXPECT_EQ(world.Gateway().CountLines("HELLO "), hellos) << "the second launcher must not connect";

    // "Startup Defaults" switches monitor mode on again: the application is started again.
    auto defaults = world.WaitSequence(
        {"Startup Defaults", "Getting Version Info...", "Got Version Info OK", "OK to start: launching..."},
        kStepMs, *back + 1);
    ASSERT_TRUE(defaults) << world.Transcript();
    // The peer's own line may trail the launcher's status line.
    EXPECT_TRUE(
        WaitUntil([&] { return world.Gateway().CountLines("VERSION_REQUEST") > versionRequests; }, 2000));
}

TEST(LauncherInstances, ASecondLauncherWithoutAFirstWindowStillLeaves) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    // Someone else holds "QuillonMutex" but shows no window: nothing to tell, exit 0 all the same.
    PeerProcess holder;
    ASSERT_TRUE(holder.Start("/usr/bin/flock", {"-n", world.RuntimeDir() + "/QuillonMutex", "sleep", "30"}));
    for (int i = 0; i < 100 && world.LockIsFree("QuillonMutex"); ++i) {
        usleep(10000);
    }
    ASSERT_FALSE(world.LockIsFree("QuillonMutex"));
    ASSERT_TRUE(world.StartLauncher());
    auto status = world.Launcher().WaitExit(5000);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_EQ(world.CountStatus("Quillon Startup"), 0u);
}
}  // namespace
