// The launcher's end-to-end scenarios once under valgrind memcheck: every memory error and every
// definitely lost block fails. Slow, so it runs only with QUILLON_VALGRIND=1 (scripts/valgrind);
// the gateway peer and the tablet application run natively.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

#include "tests/QUILLON/support_faults.h"

namespace {
// Everything is some twenty times slower under memcheck.
constexpr int kStepMs = 120000;
constexpr int kValgrindErrorExit = 99;
constexpr char kValgrind[] = "/usr/bin/valgrind";

class ValgrindScenario : public ::testing::Test {
protected:
    void SetUp() override {
        const char* enabled = std::getenv("QUILLON_VALGRIND");
        if (enabled == nullptr || std::strcmp(enabled, "1") != 0) {
            GTEST_SKIP() << "set QUILLON_VALGRIND=1 to run the launcher under valgrind (scripts/valgrind)";
        }
        if (!FileExists(kValgrind)) {
            GTEST_SKIP() << "valgrind is not installed";
        }
        ASSERT_TRUE(world_.Ready());
    }

    // Starts the launcher under memcheck with `args`, its report going to a log file of the world.
    bool StartUnderValgrind(const std::vector<std::string>& args = {},
                            const std::vector<std::string>& env = {},
                            const std::string& program = QUILLON_BIN) {
        log_ = world_.Dir() + "/memcheck.log";
        std::vector<std::string> all = {"--tool=memcheck",
                                        "--error-exitcode=" + std::to_string(kValgrindErrorExit),
                                        "--leak-check=full",
                                        "--show-leak-kinds=definite",
                                        "--errors-for-leak-kinds=definite",
                                        "--track-origins=yes",
                                        "--child-silent-after-fork=yes",
                                        "--log-file=" + log_,
                                        program};
        all.insert(all.end(), args.begin(), args.end());
        return world_.StartLauncher(all, env, kValgrind);
    }

    // Waits for the launcher's own end (exit code 0 expected) and checks memcheck's verdict.
    void ExpectCleanExit() {
        auto status = world_.Launcher().WaitExit(kStepMs);
        ASSERT_TRUE(status) << "the launcher did not end\n" << world_.Transcript();
        const std::string report = ReadFile(log_);
        EXPECT_TRUE(WIFEXITED(*status)) << report;
        EXPECT_NE(WEXITSTATUS(*status), kValgrindErrorExit) << report;
        EXPECT_EQ(WEXITSTATUS(*status), 0) << world_.Transcript();
        EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
        EXPECT_NE(report.find("definitely lost: 0 bytes in 0 blocks"), std::string::npos) << report;
    }

    // Chooses menu command `id` as a user's tap would.
    void Choose(unsigned id) {
        const size_t from = world_.Launcher().LineCount();
        ASSERT_TRUE(world_.Control("MENU id " + std::to_string(id)));
        ASSERT_TRUE(world_.Control("TAP 100 100"));
        ASSERT_TRUE(world_.WaitPrefix("MENU CHOICE: ", kStepMs, from)) << world_.Transcript();
    }

    LauncherWorld world_;
    std::string log_;
};

TEST_F(ValgrindScenario, InstallRunUpdateInPiecesAndExitByTheMenuAreClean) {
    ASSERT_TRUE(world_.Publish("1.0.0.1"));
    ASSERT_TRUE(world_.StartGateway({"--name", "Kitchen Panel", "--pieces", "--piece-size", "65536"}));
    ASSERT_TRUE(StartUnderValgrind({"/NAME:Kitchen Panel"}, {"DEMO_APP_SECONDS=2"}));
    ASSERT_TRUE(
        world_.WaitSequence({"Connected to gateway.", "No local version: loading...", "Download Sucess",
                             "TORVIX.EXE Started OK", "Hiding QUILLON", "Restoring QUILLON"},
                            kStepMs))
        << world_.Transcript();
    ASSERT_TRUE(world_.Publish("2.0.0.0"));
    ASSERT_TRUE(world_.WaitSequence({"Wrong version, loading...", "Download Sucess", "Success",
                                     "OK to start: launching...", "Hiding QUILLON", "Restoring QUILLON"},
                                    kStepMs))
        << world_.Transcript();
    // A second instance, dev mode on and off, monitor mode off, then "Exit".
    PeerProcess second;
    ASSERT_TRUE(world_.StartSecondLauncher(second));
    ASSERT_TRUE(second.WaitExit(kStepMs));
    ASSERT_TRUE(world_.WaitStatus("Startup Defaults", kStepMs)) << world_.Transcript();
    Choose(1129);
    Choose(1134);
    Choose(1134);
    Choose(1130);
    ASSERT_TRUE(world_.WaitSequence({"Shutting Down...", "TRAY: delete"}, kStepMs)) << world_.Transcript();
    ExpectCleanExit();
}

TEST_F(ValgrindScenario, BrokenRepliesLostGatewaysAndSigtermAreClean) {
    ASSERT_TRUE(world_.InstallLocal("1.0.0.1"));
    ASSERT_TRUE(world_.Publish("2.0.0.0"));
    ASSERT_TRUE(world_.StartGateway({"--fault-on", "download", "--garbage", "4096"}));
    ASSERT_TRUE(StartUnderValgrind());
    ASSERT_TRUE(
        world_.WaitSequence({"Wrong version, loading...", "ERROR: Could not Download new EXE"}, kStepMs))
        << world_.Transcript();
    world_.KillGateway();
    ASSERT_TRUE(world_.StartGateway({"--fault-on", "version", "--oversized-header"}));
    ASSERT_TRUE(world_.WaitStatus("Error Getting Version Info From Gateway...", kStepMs))
        << world_.Transcript();
    world_.KillGateway();
    ASSERT_TRUE(world_.StartGateway({"--pieces", "--piece-size", "65536", "--changing-total"}));
    ASSERT_TRUE(world_.WaitSequence({"Download Sucess", "Success"}, kStepMs)) << world_.Transcript();
    world_.KillGateway();
    ASSERT_TRUE(world_.StartGateway({"--pieces", "--piece-size", "16384", "--close-after", "100000"}));
    ASSERT_TRUE(world_.Publish("3.0.0.0"));
    ASSERT_TRUE(world_.WaitStatus("Error Loading Torvix", kStepMs)) << world_.Transcript();
    world_.KillGateway();
    // Ended by SIGTERM while it is looking for a gateway.
    ASSERT_TRUE(world_.WaitStatus("Waiting for ping response.", kStepMs)) << world_.Transcript();
    world_.Launcher().Signal(SIGTERM);
    ExpectCleanExit();
}
TEST_F(ValgrindScenario, HostileDefaultTxtAndDeviceDataFileAreClean) {
    ASSERT_EQ(mkdir((world_.Root() + "/NANDFLASH").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(world_.Root() + "/NANDFLASH/DEV.DAT", HostileBytes(100 * 1024)));
    const std::string text = std::string(100 * 1024, 'A');  // one line, no terminator
    const std::string copy = CopyLauncherTo(world_.Dir() + "/bin", &text);
    ASSERT_FALSE(copy.empty());
    ASSERT_TRUE(world_.StartGateway({"--gateway", std::string(27, 'A')}));
    ASSERT_TRUE(StartUnderValgrind({}, {}, copy));
    ASSERT_TRUE(world_.WaitStatus("Wrong System, Looking For: " + std::string(31, 'A'), kStepMs))
        << world_.Transcript();
    world_.Launcher().Signal(SIGTERM);
    ExpectCleanExit();
}

TEST_F(ValgrindScenario, AHugeCommandLineAndACrashingApplicationAreClean) {
    ASSERT_TRUE(world_.InstallLocal("1.0.0.1"));
    ASSERT_TRUE(world_.Publish("1.0.0.1"));
    ASSERT_TRUE(world_.StartGateway({"--name", "Hall"}));
    // 100 KB of other words before the switch.
    ASSERT_TRUE(
        StartUnderValgrind({"\x01\xff" + std::string(100 * 1024, 'B'), "/NAME:Hall"}, {"DEMO_APP_CRASH=1"}));
    ASSERT_TRUE(WaitStatusCount(world_, "OK to start: launching...", 5, kStepMs)) << world_.Transcript();
    EXPECT_GE(world_.Launcher().CountLines("demo-app 1.0.0.1 started args: [/NAME:Hall]"), 4u)
        << world_.Transcript();
    world_.Launcher().Signal(SIGTERM);
    ExpectCleanExit();
}
}  // namespace
