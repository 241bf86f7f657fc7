// A download that fails must leave the installed executable as it was and no temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/QUILLON/support_launcher.h"

namespace {
constexpr int kStepMs = 10000;

struct Fault {
    const char* name;
    std::vector<std::string> gatewayArgs;
    const char* gatewaySays;  // the peer's line that proves the fault happened
};

class LauncherDownloadFailure : public ::testing::TestWithParam<Fault> {};

TEST_P(LauncherDownloadFailure, KeepsTheOldExecutable) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    const std::string before = ReadFile(world.Root() + "/TORVIX.EXE");
    ASSERT_TRUE(world.Publish("2.0.0.0"));
    ASSERT_TRUE(world.StartGateway(GetParam().gatewayArgs));
    ASSERT_TRUE(world.StartLauncher());

    auto failed = world.WaitSequence({"Got Version Info OK", "Wrong version, loading...",
                                      "ERROR: Could not Download new EXE", "Error Loading Torvix"},
                                     kStepMs);
    ASSERT_TRUE(failed) << world.Transcript();
    EXPECT_TRUE(world.Gateway().WaitForLine(GetParam().gatewaySays, 1000)) << world.Gateway().Transcript();
    world.Launcher().Stop();
    EXPECT_EQ(ReadFile(world.Root() + "/TORVIX.EXE"), before);
    EXPECT_EQ(NamesIn(world.Root()), std::vector<std::string>{"TORVIX.EXE"});
    // Different versions: the old one is not started either.
    EXPECT_TRUE(world.TabletPids().empty());
    EXPECT_EQ(world.CountStatus("OK to start: launching..."), 0u);
}

INSTANTIATE_TEST_SUITE_P(Faults, LauncherDownloadFailure,
                         ::testing::Values(Fault{"WrongReply",
                                                 {"--fault-on", "download", "--wrong-msg-id", "8200"},
                                                 "DOWNLOAD_REQUEST"},
                                           Fault{"LinkDropsMidFile",
                                                 {"--pieces", "--piece-size", "65536", "--close-after",
                                                  "150000"},
                                                 "FAULT close-after"}),
                         [](const ::testing::TestParamInfo<Fault>& p) { return std::string(p.param.name); });

TEST(LauncherDownload, AFirstInstallThatCannotReplaceLeavesNoTemporaryFile) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    // A folder where the executable belongs: the download completes but cannot take its place.
    ASSERT_EQ(mkdir((world.Root() + "/TORVIX.EXE").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((world.Root() + "/TORVIX.EXE/keep").c_str(), 0755), 0);
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.StartLauncher());

    auto failed = world.WaitSequence(
        {"No local version: loading...", "ERROR: Could not Download new EXE", "ERROR: Can't Load Torvix",
         "Getting Version Info...", "Torvix missing: loading...", "ERROR: Could not Download new EXE",
         "ERROR: Can't load Torvix"},
        kStepMs);
    ASSERT_TRUE(failed) << world.Transcript();
    EXPECT_TRUE(world.Gateway().WaitForLine("FILE_WHOLE", 1000)) << world.Gateway().Transcript();
    world.Launcher().Stop();
    EXPECT_EQ(NamesIn(world.Root()), std::vector<std::string>{"TORVIX.EXE"});
    EXPECT_TRUE(FileExists(world.Root() + "/TORVIX.EXE/keep"));
    EXPECT_EQ(world.CountStatus("Staring Torvix..."), 0u);
}
}  // namespace
