// The real launcher against the gateway peer: first start with nothing installed, the tablet
// application ending and being started again, a new version announced by the gateway.
#include <gtest/gtest.h>

#include "tests/QUILLON/support_launcher.h"

namespace {
constexpr int kStepMs = 10000;

TEST(LauncherInstall, FirstStartInstallsLaunchesAndRestartsWithTheDeviceName) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.0.0.7"));
    ASSERT_TRUE(world.StartGateway({"--name", "Kitchen Panel 2"}));
    // The application lives 2 s, so the launcher must bring it back by itself.
    ASSERT_TRUE(world.StartLauncher({"/NAME:Kitchen", "Panel", "2"}, {"DEMO_APP_SECONDS=2"}));

    auto installed =
        world.WaitSequence({"Quillon Startup", "Restoring QUILLON", "Connected to gateway.",
                            "No local version: loading...", "Download Sucess", "Torvix Loaded OK",
                            "Staring Torvix...", "TORVIX.EXE Started OK", "Hiding QUILLON"},
                           kStepMs);
    ASSERT_TRUE(installed) << world.Transcript();
    EXPECT_EQ(ReadFile(world.Root() + "/TORVIX.EXE"), ReadFile(world.ServedFile()));
    // A first install is on trial too, with nothing before it to go back to.
    EXPECT_EQ(NamesIn(world.Root()), (std::vector<std::string>{"TORVIX.EXE", "TORVIX.EXE.trial"}));
    EXPECT_TRUE(world.Gateway().WaitForLine("DOWNLOAD_REQUEST rid=", 1000));
    EXPECT_EQ(world.Gateway().CountLines("DOWNLOAD_REQUEST rid="), 1u);
    EXPECT_NE(world.Gateway().WaitForLine("DOWNLOAD_REQUEST", 0)->find("screen=2 client=2 c706=706 dev=0"),
              std::string::npos);

    // It ends; the window comes back, the versions are compared and it is started again.
    auto restarted = world.WaitSequence(
        {"Restoring QUILLON", "Disconnected from gateway.", "Ping From 127.0.0.1 Kitchen Panel 2",
         "Connected to gateway.", "Getting Version Info...", "Got Version Info OK",
         "OK to start: launching...", "Hiding QUILLON"},
        kStepMs, *installed + 1);
    ASSERT_TRUE(restarted) << world.Transcript();
    auto request = world.Gateway().WaitForLine("VERSION_REQUEST", 1000);
    ASSERT_TRUE(request);
    EXPECT_NE(request->find("screen=2 client=2 dev=0"), std::string::npos) << *request;

    ASSERT_TRUE(world.WaitTabletCount(1, 2000));
    const pid_t app = world.TabletPids().front();
    EXPECT_EQ(ExecutableOf(app), world.Root() + "/TORVIX.EXE");
    const auto argv = CommandLineOf(app);
    ASSERT_EQ(argv.size(), 2u);
    EXPECT_EQ(argv[1], "/NAME:Kitchen Panel 2");
    // Both starts passed the whole name, spaces included.
    const std::string log = world.AppLog();
    EXPECT_NE(log.find("started args: [/NAME:Kitchen Panel 2]"),
              log.rfind("started args: [/NAME:Kitchen Panel 2]"))
        << log;
}

TEST(LauncherInstall, ANewVersionOnTheGatewayIsDownloadedAndStarted) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.StartLauncher({}, {"DEMO_APP_SECONDS=2"}));

    // Installed and equal: no download, straight to the launch.
    auto first =
        world.WaitSequence({"Got Version Info OK", "OK to start: launching...", "Hiding QUILLON"}, kStepMs);
    ASSERT_TRUE(first) << world.Transcript();
    EXPECT_EQ(world.Gateway().CountLines("DOWNLOAD_REQUEST"), 0u);

    // Announced while the old version runs; seen when it has ended.
    ASSERT_TRUE(world.Publish("2.0.0.0"));
    auto loaded = world.WaitSequence({"Restoring QUILLON", "Getting Version Info...", "Got Version Info OK",
                                      "Wrong version, loading...", "Download Sucess", "Success"},
                                     kStepMs, *first + 1);
    ASSERT_TRUE(loaded) << world.Transcript();
    // The new version is started by the very next check, not after the 5 s re-check.
    auto replaced = world.WaitSequence(
        {"Getting Version Info...", "Got Version Info OK", "OK to start: launching...", "Hiding QUILLON"},
        2000, *loaded + 1);
    ASSERT_TRUE(replaced) << world.Transcript();
    EXPECT_EQ(ReadFile(world.Root() + "/TORVIX.EXE"), ReadFile(world.ServedFile()));
    EXPECT_NE(world.AppLog().find("demo-app 2.0.0.0 started"), std::string::npos) << world.AppLog();
    EXPECT_EQ(world.CountStatus("No local version: loading..."), 0u);
}
}  // namespace
