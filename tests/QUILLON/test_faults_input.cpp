// Hostile local input to the real launcher: "DEFAULT.TXT", the device data file and the command
// line holding binary bytes, 100 KB lines without a terminator, or a FIFO that nobody writes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/QUILLON/support_faults.h"

namespace {
constexpr int kStepMs = 10000;
constexpr size_t kLongLine = 100 * 1024;
// The gateway client keeps this many bytes of the device name.
constexpr size_t kNameBytes = 31;
const std::string kByteName = "Ha\x01\x7f\x80\xffll";

// The arguments the one tablet application was started with, after the program name.
std::vector<std::string> AppArguments(LauncherWorld& world) {
    EXPECT_TRUE(world.WaitTabletCount(1, 3000));
    const std::vector<pid_t> pids = world.TabletPids();
    if (pids.size() != 1) {
        return {"<no application>"};
    }
    std::vector<std::string> argv = CommandLineOf(pids.front());
    argv.erase(argv.begin());
    return argv;
}

// The launcher took a name it cannot find among the gateways: it keeps looking, and says for what.
void ExpectStillLookingFor(LauncherWorld& world, const std::string& name) {
    EXPECT_TRUE(WaitStatusCount(world, "Wrong System, Looking For: " + name, 3, kStepMs))
        << world.Transcript();
    EXPECT_TRUE(world.Launcher().Running());
    EXPECT_EQ(world.Gateway().CountLines("ACCEPT "), 0u);
}

class HostileDefaultTxt : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(world_.Ready());
        ASSERT_TRUE(world_.Publish("1.0.0.1"));
    }
    bool Start(const std::string& text, const std::vector<std::string>& gatewayArgs = {}) {
        const std::string copy = CopyLauncherTo(world_.Dir() + "/bin", &text);
        return !copy.empty() && world_.StartGateway(gatewayArgs) && world_.StartLauncher({}, {}, copy);
    }
    LauncherWorld world_;
};

TEST_F(HostileDefaultTxt, BinaryBytesInTheFirstLineAreTheNameByteForByte) {
    ASSERT_TRUE(
        Start(kByteName + "\r\n" + HostileBytes(4096), {"--gateway", "Other", "--gateway", kByteName}));
    ASSERT_TRUE(world_.WaitSequence({"Connected to gateway.", "TORVIX.EXE Started OK"}, kStepMs))
        << world_.Transcript();
    EXPECT_EQ(AppArguments(world_), std::vector<std::string>{"/NAME:" + kByteName});
}

TEST_F(HostileDefaultTxt, AHundredKilobyteLineWithoutTerminatorIsCutToTheNameLimit) {
    ASSERT_TRUE(Start(std::string(kLongLine, 'A'), {"--gateway", std::string(27, 'A')}));
    ExpectStillLookingFor(world_, std::string(kNameBytes, 'A'));
}

TEST_F(HostileDefaultTxt, ABinaryFileStartingWithZeroGivesNoNameSoAnyGatewayIsTaken) {
    ASSERT_TRUE(Start(HostileBytes(kLongLine), {"--gateway", "First", "--gateway", "Second"}));
    // Any name at all would match neither gateway: connecting shows that the name is empty.
    ASSERT_TRUE(world_.WaitSequence({"Connected to gateway.", "TORVIX.EXE Started OK"}, kStepMs))
        << world_.Transcript();
    EXPECT_EQ(AppArguments(world_), std::vector<std::string>{});
}

TEST_F(HostileDefaultTxt, AFifoNobodyWritesDoesNotHoldUpStartUp) {
    const std::string copy = CopyLauncherTo(world_.Dir() + "/bin", nullptr);
    ASSERT_FALSE(copy.empty());
    ASSERT_EQ(mkfifo((world_.Dir() + "/bin/DEFAULT.TXT").c_str(), 0644), 0);
    ASSERT_TRUE(world_.StartGateway());
    ASSERT_TRUE(world_.StartLauncher({}, {}, copy));
    ASSERT_TRUE(
        world_.WaitSequence({"Quillon Startup", "Connected to gateway.", "TORVIX.EXE Started OK"}, kStepMs))
        << world_.Transcript();
    EXPECT_EQ(AppArguments(world_), std::vector<std::string>{});
}

TEST(HostileCommandLine, AHundredKilobyteNameIsCutToTheNameLimit) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway({"--gateway", std::string(27, 'B')}));
    ASSERT_TRUE(world.StartLauncher({"/NAME:" + std::string(kLongLine, 'B')}));
    ExpectStillLookingFor(world, std::string(kNameBytes, 'B'));
}

TEST(HostileCommandLine, BinaryBytesAroundTheSwitchReachTheApplicationUnchanged) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway({"--gateway", kByteName}));
    ASSERT_TRUE(
        world.StartLauncher({"\x01\xfe/name:", HostileBytes(300).substr(1, 9), "/NAME:" + kByteName}));
    ASSERT_TRUE(world.WaitSequence({"Connected to gateway.", "TORVIX.EXE Started OK"}, kStepMs))
        << world.Transcript();
    EXPECT_EQ(AppArguments(world), std::vector<std::string>{"/NAME:" + kByteName});
}

TEST(HostileCommandLine, AThousandLongArgumentsWithoutTheSwitchGiveNoName) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway());
    std::vector<std::string> args;
    for (int i = 0; i < 1000; ++i) {
        args.push_back(std::string(100, static_cast<char>('a' + i % 26)) + "/NAME");
    }
    ASSERT_TRUE(world.StartLauncher(args));
    ASSERT_TRUE(world.WaitSequence({"Connected to gateway.", "TORVIX.EXE Started OK"}, kStepMs))
        << world.Transcript();
    EXPECT_EQ(AppArguments(world), std::vector<std::string>{});
}

class HostileDeviceData : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(world_.Ready());
        ASSERT_TRUE(world_.Publish("1.0.0.1"));
        ASSERT_EQ(mkdir((world_.Root() + "/NANDFLASH").c_str(), 0755), 0);
    }
    std::string DevDat() const { return world_.Root() + "/NANDFLASH/DEV.DAT"; }
    // Starts the gateway and the launcher; the dev= flag of the first download request.
    std::string DevFlagOfFirstDownload() {
        if (!world_.StartGateway() || !world_.StartLauncher()) {
            return "<not started>";
        }
        auto request = world_.Gateway().WaitForLine("DOWNLOAD_REQUEST", kStepMs);
        if (!request) {
            return "<no request>\n" + world_.Transcript();
        }
        return request->substr(request->find("dev="));
    }
    LauncherWorld world_;
};

TEST_F(HostileDeviceData, AHundredKilobytesOfNoiseReadAsOnByTheFirstFourAndStayUntouched) {
    const std::string noise = HostileBytes(kLongLine);  // 00 01 02 03 ...: non-zero
    ASSERT_TRUE(WriteFile(DevDat(), noise));
    EXPECT_EQ(DevFlagOfFirstDownload(), "dev=1");
    ASSERT_TRUE(world_.WaitStatus("TORVIX.EXE Started OK", kStepMs)) << world_.Transcript();
    EXPECT_TRUE(FileExists(world_.Root() + "/ZVIEWER.EXE"));
    EXPECT_FALSE(FileExists(world_.Root() + "/TORVIX.EXE"));
    world_.Launcher().Stop();
    EXPECT_EQ(ReadFile(DevDat()), noise);
}

TEST_F(HostileDeviceData, AShortFileOrAFolderReadsAsOff) {
    ASSERT_TRUE(WriteFile(DevDat(), std::string("\xff\xff\xff", 3)));
    EXPECT_EQ(DevFlagOfFirstDownload(), "dev=0");
    // A stop now would end the download unfinished: let it finish first.
    ASSERT_TRUE(world_.WaitStatus("Torvix Loaded OK", kStepMs)) << world_.Transcript();
    world_.Launcher().Stop();
    world_.KillGateway();
    world_.StopTabletApps();
    ASSERT_EQ(unlink(DevDat().c_str()), 0);
    ASSERT_EQ(unlink((world_.Root() + "/TORVIX.EXE").c_str()), 0);
    ASSERT_EQ(mkdir(DevDat().c_str(), 0755), 0);
    EXPECT_EQ(DevFlagOfFirstDownload(), "dev=0");
}

TEST_F(HostileDeviceData, AFifoNobodyWritesReadsAsOffAndDoesNotHoldUpStartUp) {
    ASSERT_EQ(mkfifo(DevDat().c_str(), 0644), 0);
    EXPECT_EQ(DevFlagOfFirstDownload(), "dev=0");
    EXPECT_TRUE(world_.WaitStatus("TORVIX.EXE Started OK", kStepMs)) << world_.Transcript();
}
}  // namespace
