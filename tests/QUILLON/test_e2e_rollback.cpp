// The real launcher against the gateway peer: a release that keeps ending at once is rolled back
// to the version before it and not taken again while offered, across a launcher restart, unless
// the technician asks for it; the next good release installs over the version put back. And the launcher
// killed at random moments of an update and a roll back: one whole executable every time, and the next start
// finishes the work.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "QUILLON/commandids.h"
#include "QUILLON/releasefiles.h"
#include "tests/QUILLON/support_launcher.h"

namespace {
constexpr int kStepMs = 10000;
const char kCrashing[] = "2.0.0.7";
const std::vector<std::string> kCrashingEnv{std::string("DEMO_APP_CRASH_VERSION=") + kCrashing};

// Ends the running application, as a user or a crash would, and waits for the check that follows.
std::optional<size_t> EndAppAndWaitForCheck(LauncherWorld& world, std::initializer_list<std::string> lines) {
    const size_t from = world.Launcher().LineCount();
    if (!world.WaitTabletCount(1, kStepMs)) {
        return std::nullopt;
    }
    world.StopTabletApps();
    return world.WaitSequence(lines, kStepMs, from);
}

TEST(LauncherRollback, ACrashingReleaseIsRolledBackRefusedAndReplacedByTheNextOne) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    const std::string v1 = ReadFile(world.Root() + "/TORVIX.EXE");
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.StartLauncher({}, kCrashingEnv));
    ASSERT_TRUE(world.WaitSequence({"OK to start: launching...", "Hiding QUILLON"}, kStepMs))
        << world.Transcript();

    ASSERT_TRUE(world.Publish(kCrashing));
    auto back = EndAppAndWaitForCheck(
        world,
        {"Wrong version, loading...", "Download Sucess", "Success", "OK to start: launching...",
         "Torvix exited with code 70 after 0 s", "Torvix 2.0.0.7 ended 3 times within 10 s: back to 1.0.0.1",
         "Not taking Torvix 2.0.0.7 again (rolled back: ended 3 times within 10 s): keeping 1.0.0.1",
         "OK to start: launching...", "Hiding QUILLON"});
    ASSERT_TRUE(back) << world.Transcript();
    EXPECT_EQ(world.CountStatus("Torvix exited with code 70 after 0 s"), 3u) << world.Transcript();
    EXPECT_EQ(ReadFile(world.Root() + "/TORVIX.EXE"), v1);
    ASSERT_TRUE(world.WaitTabletCount(1, 3000));
    EXPECT_NE(world.AppLog().rfind("demo-app 1.0.0.1 started"), std::string::npos) << world.AppLog();
    EXPECT_TRUE(world.Gateway().WaitForLine(
        "EVENT_REPORT \"Torvix 2.0.0.7 rolled back to 1.0.0.1: it ended 3 times within 10 s of its start\"",
        2000))
        << world.Gateway().Transcript();
    EXPECT_EQ(NamesIn(world.Root()), (std::vector<std::string>{"TORVIX.EXE", "TORVIX.EXE.refused"}));
    const auto refused = ParseRefused(ReadFile(world.Root() + "/TORVIX.EXE.refused"), nullptr);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->version, kCrashing);
    EXPECT_EQ(refused->sha256, Sha256OfFile(world.ServedFile()));
    EXPECT_TRUE(refused->reported);

    // Still offered: two more checks, then a new launcher, start the installed version only.
    for (int check = 0; check < 2; ++check) {
        ASSERT_TRUE(EndAppAndWaitForCheck(
            world, {"Got Version Info OK", "OK to start: launching...", "Hiding QUILLON"}))
            << world.Transcript();
    }
    world.Launcher().Stop();
    world.StopTabletApps();
    ASSERT_TRUE(world.StartLauncher({}, kCrashingEnv));
    ASSERT_TRUE(
        world.WaitSequence({"Got Version Info OK",
                            "Not taking Torvix 2.0.0.7 again (rolled back: ended 3 times within 10 s): "
                            "keeping 1.0.0.1",
                            "OK to start: launching..."},
                           kStepMs))
        << world.Transcript();
    ASSERT_TRUE(EndAppAndWaitForCheck(world, {"Got Version Info OK", "OK to start: launching..."}))
        << world.Transcript();
    EXPECT_EQ(world.Gateway().CountLines("DOWNLOAD_REQUEST"), 1u) << world.Gateway().Transcript();
    EXPECT_GE(world.Gateway().CountLines("VERSION_REQUEST"), 5u);

    // The technician's "Get Torvix" takes the refused release again, on a new trial.
    ASSERT_TRUE(world.PostCommand(IDM_MONITOR_MODE));  // so that the check does not restart v1 meanwhile
    ASSERT_TRUE(world.WaitTabletCount(1, kStepMs));
    size_t from = world.Launcher().LineCount();
    world.StopTabletApps();
    ASSERT_TRUE(world.WaitStatus("Connected to gateway.", kStepMs, from)) << world.Transcript();
    ASSERT_TRUE(world.PostCommand(IDM_GET_TORVIX));
    ASSERT_TRUE(world.WaitStatus("Download Sucess", kStepMs, from)) << world.Transcript();
    EXPECT_EQ(NamesIn(world.Root()), LauncherWorld::UpdatedRootNames());
    from = world.Launcher().LineCount();
    ASSERT_TRUE(world.PostCommand(IDM_MONITOR_MODE));
    ASSERT_TRUE(world.WaitSequence(
        {"OK to start: launching...", "Torvix 2.0.0.7 ended 3 times within 10 s: back to 1.0.0.1",
         "OK to start: launching...", "Hiding QUILLON"},
        kStepMs, from))
        << world.Transcript();
    EXPECT_EQ(ReadFile(world.Root() + "/TORVIX.EXE"), v1);
    EXPECT_EQ(world.Gateway().CountLines("DOWNLOAD_REQUEST"), 2u);

    ASSERT_TRUE(world.Publish("3.0.0.0"));
    ASSERT_TRUE(EndAppAndWaitForCheck(world, {"Wrong version, loading...", "Download Sucess", "Success",
                                              "OK to start: launching...", "Hiding QUILLON"}))
        << world.Transcript();
    EXPECT_TRUE(world.WaitPrefix("demo-app 3.0.0.0 started", kStepMs)) << world.Transcript();
    EXPECT_EQ(ReadFile(world.Root() + "/TORVIX.EXE"), ReadFile(world.ServedFile()));
    EXPECT_EQ(ReadFile(world.Root() + "/TORVIX.EXE.previous"), v1);
    EXPECT_EQ(NamesIn(world.Root()),
              (std::vector<std::string>{"TORVIX.EXE", "TORVIX.EXE.previous", "TORVIX.EXE.trial"}));
}

// A UDP port nobody answers on, held for the test's life: a launcher sent there finds no gateway.
class SilentPort {
public:
    SilentPort() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~SilentPort() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int Port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = -1;
};

TEST(LauncherRollback, KilledAtRandomMomentsOfAnUpdateAndARollBackLeavesOneWholeVersion) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    SilentPort silent;
    ASSERT_GT(silent.Port(), 0);
    const std::string exe = world.Root() + "/TORVIX.EXE";
    ASSERT_TRUE(LauncherWorld::MakeStampedApp(world.Dir() + "/v1", "1.0.0.1"));
    ASSERT_TRUE(world.Publish(kCrashing));
    const std::string v1 = ReadFile(world.Dir() + "/v1");
    const std::string v2 = ReadFile(world.ServedFile());
    // About half a second for the download, so that kills land inside it too.
    ASSERT_TRUE(world.StartGateway({"--trickle", "65536/50"}));
    // How long the whole update and roll back take here, from the decision to download.
    const char kTrigger[] = "Wrong version, loading...";
    ASSERT_TRUE(WriteFile(exe, v1));
    ASSERT_TRUE(world.StartLauncher({}, kCrashingEnv));
    ASSERT_TRUE(world.WaitStatus(kTrigger, kStepMs)) << world.Transcript();
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(world.WaitStatus("Torvix 2.0.0.7 ended 3 times within 10 s: back to 1.0.0.1", kStepMs))
        << world.Transcript();
    const auto spanMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin)
            .count() +
        50;
    world.Launcher().Stop();
    world.StopTabletApps();

    std::mt19937 random(18);
    std::map<std::string, int> seen;  // what the kills left, after the next start
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (const std::string& name : NamesIn(world.Root())) {
            ASSERT_EQ(unlink((world.Root() + "/" + name).c_str()), 0);
        }
        ASSERT_TRUE(WriteFile(exe, v1));
        ASSERT_TRUE(world.StartLauncher({}, kCrashingEnv));
        ASSERT_TRUE(world.WaitStatus(kTrigger, kStepMs)) << world.Transcript();
        // A third of the kills in the first moments (download and install), a third near the roll
        // back at the end, a third anywhere.
        const unsigned span = static_cast<unsigned>(spanMs);
        const unsigned band = round % 3 == 0 ? 0 : round % 3 == 1 ? span - std::min(span, 200u) : 0;
        const unsigned width = round % 3 == 0 ? std::min(span, 700u) : round % 3 == 1 ? span - band : span;
        std::this_thread::sleep_for(std::chrono::milliseconds(band + random() % width));
        world.Launcher().Signal(SIGKILL);
        ASSERT_TRUE(world.Launcher().WaitExit(kStepMs));
        world.StopTabletApps();
        const std::string left = ReadFile(exe);
        ASSERT_TRUE(left == v1 || left == v2) << "no whole version after the kill";

        // The next start, with no gateway to go on with: the work is finished or undone.
        ASSERT_TRUE(
            world.StartLauncher({}, {"QUILLON_DISCOVERY=127.255.255.255:" + std::to_string(silent.Port())}));
        ASSERT_TRUE(world.WaitStatus("Restoring QUILLON", kStepMs)) << world.Transcript();
        world.Launcher().Stop();
        const std::string now = ReadFile(exe);
        ASSERT_TRUE(now == v1 || now == v2);
        for (const std::string& name : NamesIn(world.Root())) {
            EXPECT_TRUE(name == "TORVIX.EXE" || name == "TORVIX.EXE.previous" || name == "TORVIX.EXE.trial" ||
                        name == "TORVIX.EXE.refused")
                << name << " left behind";
        }
        const auto trial = ParseTrial(ReadFile(exe + ".trial"), nullptr);
        if (trial) {
            EXPECT_EQ(trial->sha256, Sha256OfFile(exe)) << "a trial record for another file";
            EXPECT_LT(trial->quickEnds, 3u) << "a decided roll back not carried out";
            EXPECT_EQ(now, v2);
            EXPECT_EQ(ReadFile(exe + ".previous"), v1);
        }
        if (FileExists(exe + ".refused")) {
            EXPECT_EQ(now, v1) << "refused, yet still installed";
        }
        std::string state = now == v1 ? "v1" : "v2";
        for (const std::string& name : NamesIn(world.Root())) {
            state += name == "TORVIX.EXE" ? "" : " " + name.substr(name.rfind('.') + 1);
        }
        ++seen[state];
    }
    // The kills landed before, inside and after the install and the roll back.
    std::string states;
    for (const auto& [state, count] : seen) {
        states += state + ": " + std::to_string(count) + "\n";
    }
    EXPECT_GE(seen.size(), 3u) << states;
}
}  // namespace
