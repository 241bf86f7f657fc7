// The real launcher against a gateway that dies or misbehaves at each stage. Every case ends in a
// stated result: the installed executable is untouched (or replaced whole), no temporary file is
// left in the device root, and the launcher carries on and tries again.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include "QUILLON/commandids.h"
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
    EXPECT_EQ(NamesIn(world.Root()), LauncherWorld::UpdatedRootNames());
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
    EXPECT_EQ(NamesIn(world.Root()), LauncherWorld::UpdatedRootNames());
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

// A listening socket on loopback whose backlog is full: a further connect is never answered.
class FullBacklogListener {
public:
    FullBacklogListener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener_, 0) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            return;
        }
        for (int& filler : fillers_) {
            filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        port_ = ntohs(address.sin_port);
    }
    ~FullBacklogListener() {
        for (int fd : fillers_) {
            close(fd);
        }
        close(listener_);
    }
    int Port() const { return port_; }

private:
    int listener_ = -1;
    int fillers_[2] = {-1, -1};
    int port_ = 0;
};

// A stop asked for in each state the loop can be in: the launcher ends within a second with
// status 0 and leaves the installed executable, and nothing else, in the device root.
struct StopState {
    const char* name;
    std::vector<std::string> gatewayArgs;  // "CONNECT" as the first: announce a full listener
    const char* published;
    std::vector<std::string> env;
    const char* waitLine;  // the status line (or, with "PING ", the gateway's line) to wait for
    int afterMs;           // then this much longer
    bool menuExit;         // "Exit" from the menu instead of SIGTERM
};

class StopIn : public ::testing::TestWithParam<StopState> {};

TEST_P(StopIn, EndsWithinASecondAndLeavesOnlyTheExecutable) {
    const StopState& state = GetParam();
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    const std::string before = ReadFile(world.Root() + "/" + kExe);
    ASSERT_TRUE(world.Publish(state.published));
    FullBacklogListener full;
    std::vector<std::string> args = state.gatewayArgs;
    if (!args.empty() && args.front() == "CONNECT") {
        ASSERT_GT(full.Port(), 0);
        args = {"--announce-port", std::to_string(full.Port())};
    }
    ASSERT_TRUE(world.StartGateway(args));
    ASSERT_TRUE(world.StartLauncher({}, state.env));
    if (std::string(state.waitLine) == "PING ") {
        ASSERT_TRUE(world.Gateway().WaitForLine("PING ", kStepMs)) << world.Gateway().Transcript();
    } else {
        ASSERT_TRUE(world.WaitStatus(state.waitLine, kStepMs)) << world.Transcript();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(state.afterMs));
    const std::string appLog = world.AppLog();
    Stopwatch watch;
    if (state.menuExit) {
        ASSERT_TRUE(world.Control("MENU id " + std::to_string(IDM_EXIT)));
        ASSERT_TRUE(world.Control("TAP 100 100"));
    } else {
        world.Launcher().Signal(SIGTERM);
    }
    const auto status = world.Launcher().WaitExit(3000);
    const long long stopMs = watch.ElapsedMs();
    std::printf("stop latency, %s: %lld ms\n", state.name, stopMs);
    ASSERT_TRUE(status) << world.Transcript();
    EXPECT_LT(stopMs, 1000) << world.Transcript();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_EQ(world.AppLog(), appLog) << "started again while stopping";
    world.StopTabletApps();
    ExpectOldExecutableOnly(world, before);
}

INSTANTIATE_TEST_SUITE_P(
    States, StopIn,
    ::testing::Values(
        StopState{"LaunchPause",
                  {},
                  "1.0.0.1",
                  {"QUILLON_LAUNCH_PAUSE_MS=5000"},
                  "OK to start: launching...",
                  300,
                  false},
        StopState{"Query", {"--stall"}, "1.0.0.1", {}, "Getting Version Info...", 300, false},
        StopState{
            "Download", {"--trickle", "2000/20"}, "1.0.0.2", {}, "Wrong version, loading...", 300, false},
        StopState{"Connect", {"CONNECT"}, "1.0.0.1", {}, "PING ", 200, false},
        StopState{"ExitWhileTheAppKeepsEnding",
                  {},
                  "1.0.0.1",
                  {"QUILLON_LAUNCH_PAUSE_MS=5000", "DEMO_APP_CRASH=1"},
                  "OK to start: launching...",
                  300,
                  true}),
    [](const ::testing::TestParamInfo<StopState>& p) { return std::string(p.param.name); });
}  // namespace
