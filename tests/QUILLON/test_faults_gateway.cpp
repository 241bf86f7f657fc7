// The real launcher against a gateway that dies or misbehaves at each stage. Every case ends in a
// stated result: the installed executable is untouched (or replaced whole), no temporary file is
// left in the device root, and the launcher carries on and tries again.
#include <gtest/gtest.h>

#include <thread>

#include "tests/QUILLON/support_faults.h"

namespace {
constexpr int kStepMs = 10000;
const std::string kExe = "TORVIX.EXE";

// What the device root must hold after a failed replacement: the old executable, nothing else.
void ExpectOldExecutableOnly(LauncherWorld& world, const std::string& before) {
    EXPECT_EQ(ReadFile(world.Root() + "/" + kExe), before);
    EXPECT_EQ(NamesIn(world.Root()), std::vector<std::string>{kExe});
}

TEST(GatewayKilled, DuringDiscoveryTheNextGatewayIsFoundAndInstalls) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    // A gateway whose replies are never acceptable keeps the launcher in discovery until it dies.
    ASSERT_TRUE(world.StartGateway({"--flags", "16"}));
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(WaitGatewayCount(world.Gateway(), "PING ", 3, kStepMs)) << world.Gateway().Transcript();
    world.KillGateway();
    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(
        world.WaitSequence({"Connected to gateway.", "Download Sucess", "TORVIX.EXE Started OK"}, kStepMs))
        << world.Transcript();
    EXPECT_TRUE(world.WaitTabletCount(1, 2000));
    EXPECT_EQ(world.CountStatus("ERROR: Could not Download new EXE"), 0u);
}

// Each stage at which a gateway that accepts but never answers is killed: the installed version
// is started by the next gateway, unchanged.
struct KillPoint {
    const char* name;
    const char* gatewayLine;  // killed once the peer has printed this
};

class GatewayKilledAt : public ::testing::TestWithParam<KillPoint> {};

TEST_P(GatewayKilledAt, TheNextGatewayStartsTheUnchangedInstalledVersion) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    const std::string before = ReadFile(world.Root() + "/" + kExe);
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway({"--stall"}));
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.Gateway().WaitForLine(GetParam().gatewayLine, kStepMs)) << world.Gateway().Transcript();
    world.KillGateway();
    // Nothing is started while the gateway is away.
    ASSERT_TRUE(world.WaitStatus("Disconnected from gateway.", kStepMs)) << world.Transcript();
    EXPECT_EQ(world.CountStatus("OK to start: launching..."), 0u);
    ExpectOldExecutableOnly(world, before);

    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.WaitSequence(
        {"Connected to gateway.", "Got Version Info OK", "OK to start: launching..."}, kStepMs))
        << world.Transcript();
    ASSERT_TRUE(world.WaitTabletCount(1, 3000));
    EXPECT_EQ(world.CountStatus("Wrong version, loading..."), 0u);
    world.StopTabletApps();
    world.Launcher().Stop();
    ExpectOldExecutableOnly(world, before);
}

INSTANTIATE_TEST_SUITE_P(Stages, GatewayKilledAt,
                         ::testing::Values(KillPoint{"Hello", "ACCEPT"},
                                           KillPoint{"VersionQuery", "VERSION_REQUEST"}),
                         [](const ::testing::TestParamInfo<KillPoint>& p) {
                             return std::string(p.param.name);
                         });

// The gateway killed half-way through the new executable, sent in pieces or as one message.
struct MidDownload {
    const char* name;
    std::vector<std::string> gatewayArgs;
    const char* gatewayLine;  // printed when the file begins to go out
};

class GatewayKilledMidDownload : public ::testing::TestWithParam<MidDownload> {};

TEST_P(GatewayKilledMidDownload, KeepsTheOldExecutableAndTheNextPassInstallsTheNewOne) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    const std::string before = ReadFile(world.Root() + "/" + kExe);
    ASSERT_TRUE(world.Publish("2.0.0.0"));
    // About one and a half seconds for the whole file, so that the kill lands inside it.
    std::vector<std::string> args = GetParam().gatewayArgs;
    args.insert(args.end(), {"--trickle", "32768/100"});
    ASSERT_TRUE(world.StartGateway(args));
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.Gateway().WaitForLine(GetParam().gatewayLine, kStepMs)) << world.Gateway().Transcript();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    world.KillGateway();
    ASSERT_TRUE(world.WaitSequence({"ERROR: Could not Download new EXE", "Error Loading Torvix"}, kStepMs))
        << world.Transcript();
    ExpectOldExecutableOnly(world, before);

    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.WaitSequence(
        {"Wrong version, loading...", "Download Sucess", "Success", "OK to start: launching..."}, kStepMs))
        << world.Transcript();
    ASSERT_TRUE(world.WaitTabletCount(1, 3000));
    EXPECT_TRUE(world.WaitPrefix("demo-app 2.0.0.0 started", kStepMs)) << world.Transcript();
    world.StopTabletApps();
    world.Launcher().Stop();
    EXPECT_EQ(NamesIn(world.Root()), std::vector<std::string>{kExe});
}

INSTANTIATE_TEST_SUITE_P(
    Forms, GatewayKilledMidDownload,
    ::testing::Values(MidDownload{"Pieces", {"--pieces", "--piece-size", "16384"}, "PIECES"},
                      MidDownload{"WholeFile", {}, "FILE_WHOLE"}),
    [](const ::testing::TestParamInfo<MidDownload>& p) { return std::string(p.param.name); });

// A peer that answers the download wrongly: the download fails, the old executable stays, nothing
// is left behind and the next pass asks again.
struct DownloadFault {
    const char* name;
    std::vector<std::string> gatewayArgs;
};

class BrokenDownloadReply : public ::testing::TestWithParam<DownloadFault> {};

TEST_P(BrokenDownloadReply, FailsKeepsTheOldExecutableAndIsRetried) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    const std::string before = ReadFile(world.Root() + "/" + kExe);
    ASSERT_TRUE(world.Publish("2.0.0.0"));
    ASSERT_TRUE(world.StartGateway(GetParam().gatewayArgs));
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.WaitSequence({"Wrong version, loading...", "ERROR: Could not Download new EXE",
                                    "Error Loading Torvix", "Wrong version, loading..."},
                                   kStepMs))
        << world.Transcript() << world.Gateway().Transcript();
    world.Launcher().Stop();
    ExpectOldExecutableOnly(world, before);
    EXPECT_EQ(world.CountStatus("Download Sucess"), 0u);
    EXPECT_TRUE(world.TabletPids().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BrokenDownloadReply,
    ::testing::Values(
        DownloadFault{"Garbage", {"--fault-on", "download", "--garbage", "4096"}},
        DownloadFault{"OversizedHeader", {"--fault-on", "download", "--oversized-header"}},
        DownloadFault{"HugeHeader", {"--fault-on", "download", "--oversized-header=2147483647"}},
        DownloadFault{"WrongMessageId", {"--fault-on", "download", "--wrong-msg-id", "8133"}},
        DownloadFault{"PieceBeyondTotal", {"--pieces", "--piece-size", "65536", "--piece-extra", "999"}},
        // More than any whole-file reply can carry, whatever size the build gives the application.
        DownloadFault{"WholeFileShorterThanDeclared", {"--declared-size", "999990"}}),
    [](const ::testing::TestParamInfo<DownloadFault>& p) { return std::string(p.param.name); });

TEST(ChangingTotal, IsReportedToTheGatewayAndTheFileIsAssembledAtTheFirstTotal) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    ASSERT_TRUE(world.Publish("2.0.0.0"));
    ASSERT_TRUE(world.StartGateway({"--pieces", "--piece-size", "65536", "--changing-total"}));
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.WaitSequence({"Wrong version, loading...", "Download Sucess", "Success"}, kStepMs))
        << world.Transcript();
    EXPECT_TRUE(world.Gateway().WaitForLine("EVENT_REPORT \"COMMON/BM_COMM/downloader.cpp", 2000))
        << world.Gateway().Transcript();
    world.Launcher().Stop();
    world.StopTabletApps();
    EXPECT_EQ(ReadFile(world.Root() + "/" + kExe), ReadFile(world.ServedFile()));
    EXPECT_EQ(NamesIn(world.Root()), std::vector<std::string>{kExe});
}

// A peer that answers the version query wrongly: no version, so nothing is started or replaced.
class BrokenVersionReply : public ::testing::TestWithParam<DownloadFault> {};

TEST_P(BrokenVersionReply, StartsNothingKeepsTheExecutableAndAsksAgain) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    const std::string before = ReadFile(world.Root() + "/" + kExe);
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway(GetParam().gatewayArgs));
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(WaitStatusCount(world, "Error Getting Version Info From Gateway...", 2, kStepMs))
        << world.Transcript() << world.Gateway().Transcript();
    world.Launcher().Stop();
    EXPECT_EQ(world.CountStatus("OK to start: launching..."), 0u);
    EXPECT_EQ(world.CountStatus("Wrong version, loading..."), 0u);
    EXPECT_TRUE(world.TabletPids().empty());
    ExpectOldExecutableOnly(world, before);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BrokenVersionReply,
    ::testing::Values(DownloadFault{"Garbage", {"--fault-on", "version", "--garbage", "300"}},
                      DownloadFault{"OversizedHeader", {"--fault-on", "version", "--oversized-header"}},
                      DownloadFault{"WrongMessageId", {"--fault-on", "version", "--wrong-msg-id", "8128"}}),
    [](const ::testing::TestParamInfo<DownloadFault>& p) { return std::string(p.param.name); });

// The one test that waits out the real 15 s idle limit, with two launchers side by side: a reply
// trickling slower than the limit is given up after it, one trickling faster completes although it
// takes longer than the limit in all.
TEST(SlowGateway, SlowerThanTheIdleLimitFailsAfterItWhileSlowButProgressingCompletes) {
    LauncherWorld stalled;
    LauncherWorld slow;
    ASSERT_TRUE(stalled.Ready() && slow.Ready());
    ASSERT_TRUE(stalled.Publish("1.0.0.1") && slow.Publish("1.0.0.1"));
    const size_t size = ReadFile(slow.ServedFile()).size();
    ASSERT_GT(size, 100000u);
    // One byte every 16 s; and the file in about 17 s, a little every 100 ms.
    ASSERT_TRUE(stalled.StartGateway({"--idle-ms", "0", "--trickle", "1/16000"}));
    ASSERT_TRUE(slow.StartGateway({"--trickle", std::to_string(size / 170) + "/100"}));
    ASSERT_TRUE(stalled.StartLauncher());
    ASSERT_TRUE(slow.StartLauncher());
    ASSERT_TRUE(stalled.WaitStatus("No local version: loading...", kStepMs)) << stalled.Transcript();
    Stopwatch stalledWatch;
    ASSERT_TRUE(slow.WaitStatus("No local version: loading...", kStepMs)) << slow.Transcript();
    Stopwatch slowWatch;

    ASSERT_TRUE(
        stalled.WaitSequence({"ERROR: Could not Download new EXE", "ERROR: Can't Load Torvix"}, 20000))
        << stalled.Transcript();
    EXPECT_GE(stalledWatch.ElapsedMs(), 14500);
    EXPECT_FALSE(FileExists(stalled.Root() + "/" + kExe));
    EXPECT_EQ(NamesIn(stalled.Root()), std::vector<std::string>{});

    ASSERT_TRUE(slow.WaitSequence({"Download Sucess", "Torvix Loaded OK", "TORVIX.EXE Started OK"}, 15000))
        << slow.Transcript();
    EXPECT_GE(slowWatch.ElapsedMs(), 15500);
    EXPECT_EQ(ReadFile(slow.Root() + "/" + kExe), ReadFile(slow.ServedFile()));
}

TEST(ManyGateways, AHundredOfOtherInstallationsBeforeTheRightOneDoNotKeepItFromBeingFound) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    std::vector<std::string> args;
    for (int i = 0; i < 100; ++i) {
        // Port 9 (discard) on loopback: nobody listens, so a wrong choice cannot connect.
        args.insert(args.end(), {"--gateway", "Other" + std::to_string(i) + ",1,0,9"});
    }
    args.insert(args.end(), {"--gateway", "Hall"});
    ASSERT_TRUE(world.StartGateway(args));
    ASSERT_TRUE(world.StartLauncher({"/NAME:Hall"}));
    ASSERT_TRUE(world.WaitSequence(
        {"Ping From 127.0.0.1 Hall", "Connected to gateway.", "Download Sucess", "TORVIX.EXE Started OK"},
        kStepMs))
        << world.Transcript();
    // All 101 replies answered the one ping that found the right gateway.
    EXPECT_TRUE(world.Gateway().WaitForLine("PING from", 0)->ends_with(" replies=101"))
        << world.Gateway().Transcript();
    ASSERT_TRUE(world.WaitTabletCount(1, 2000));
    EXPECT_EQ(CommandLineOf(world.TabletPids().front()).back(), "/NAME:Hall");
}
}  // namespace
