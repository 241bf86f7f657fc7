// Start-up of the real launcher: --help and --version, the refusal to run from a network location,
// the identity from "DEFAULT.TXT" and RUNTIMEOEMREV, and a gateway that vanishes and comes back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "QUILLON/usage.h"
#include "tests/QUILLON/support_faults.h"
#include "tests/support/files.h"
#include "tests/support/proc_info.h"

namespace {
constexpr int kStepMs = 10000;

TEST(LauncherStartup, HelpAndVersionPrintAndStartNothing) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartGateway());
    struct Case {
        const char* option;
        const char* firstLine;
        std::vector<const char*> mentions;
    };
    const Case cases[] = {
        {"--help",
         "Usage: quillon [/NAME:<device name>]",
         {"QUILLON_ROOT", "QUILLON_RUNTIME_DIR", "QUILLON_DISCOVERY", "QUILLON_UI", "QUILLON_SCREEN",
          "RUNTIMEOEMREV", "QUILLON_TRUSTED_KEYS", "QUILLON_ROLLBACK", "TORVIX.EXE.previous",
          "TORVIX.EXE.trial", "TORVIX.EXE.refused", "DEFAULT.TXT", "Exit status:"}},
        {"--version", "quillon 6.9 Build 114.0 Rel", {}}};
    for (const Case& c : cases) {
        // What follows the option does not matter.
        ASSERT_TRUE(world.StartLauncher({c.option, "/NAME:Hall"}));
        auto status = world.Launcher().WaitExit(5000);
        ASSERT_TRUE(status) << c.option;
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << c.option;
        ASSERT_TRUE(world.WaitStatus(c.firstLine, 1000)) << world.Transcript();
        const std::string text = world.Transcript();
        EXPECT_EQ(text.rfind(c.firstLine, 0), 0u) << text;
        for (const char* mention : c.mentions) {
            EXPECT_NE(text.find(mention), std::string::npos) << mention;
        }
        // No lock, no window, no ping.
        EXPECT_EQ(text.find("WINDOW: "), std::string::npos) << text;
        EXPECT_FALSE(FileExists(world.RuntimeDir() + "/QuillonMutex")) << c.option;
    }
    EXPECT_EQ(world.Gateway().CountLines("PING "), 0u) << world.Gateway().Transcript();

    // Only the exact first argument is an option: anything else is left to the ordinary start.
    for (std::vector<const char*> argv : {std::vector<const char*>{"quillon"},
                                          {"quillon", "--HELP"},
                                          {"quillon", "--version=1"},
                                          {"quillon", "-h"},
                                          {"quillon", "/NAME:--help"},
                                          {"quillon", "/NAME:x", "--version"}}) {
        FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        EXPECT_FALSE(HandleInfoOption(static_cast<int>(argv.size()), argv.data(), out)) << argv.back();
        EXPECT_EQ(std::ftell(out), 0L) << argv.back();
        std::fclose(out);
    }
}

TEST(LauncherStartup, ConfigurationErrorsEndItWithStatusTwoBeforeAnyWindowOrPing) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartGateway());
    const std::string file = world.Dir() + "/plain-file";
    ASSERT_TRUE(WriteFile(file, "x"));
    const std::string foreign = world.Dir() + "/foreign";
    ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
    const bool root = geteuid() == 0 && chown(foreign.c_str(), 4321, 4321) == 0;
    const std::string keys = world.Dir() + "/keys";
    ASSERT_EQ(mkdir(keys.c_str(), 0700), 0);
    ASSERT_TRUE(WriteFile(keys + "/broken.pub", "not a key\n"));
    struct Case {
        std::vector<std::string> env;
        std::string line;  // the one line on standard error, from its start
    };
    std::vector<Case> cases = {
        {{"QUILLON_DISCOVERY="}, "quillon: QUILLON_DISCOVERY=\"\": empty"},
        {{"QUILLON_DISCOVERY=127.0.0.1"}, "quillon: QUILLON_DISCOVERY=\"127.0.0.1\": not ADDR:PORT"},
        {{"QUILLON_DISCOVERY=127.255.255.255:0"},
         "quillon: QUILLON_DISCOVERY=\"127.255.255.255:0\": not ADDR:PORT"},
        {{"QUILLON_UI=x11"}, "quillon: QUILLON_UI=\"x11\": DISPLAY is not set"},
        {{"QUILLON_UI=x11", "DISPLAY=:9876"}, "quillon: QUILLON_UI=\"x11\": cannot use DISPLAY=\":9876\": "},
        {{"QUILLON_ROOT=" + world.Dir() + "/missing"},
         "quillon: QUILLON_ROOT=\"" + world.Dir() + "/missing\": No such file or directory"},
        {{"QUILLON_ROOT=" + file}, "quillon: QUILLON_ROOT=\"" + file + "\": not a directory"},
        {{"QUILLON_RUNTIME_DIR=" + file},
         "quillon: unusable QUILLON_RUNTIME_DIR " + file + ": not a directory"},
        // A key that cannot be used never silently turns the signature check off.
        {{"QUILLON_TRUSTED_KEYS=" + keys},
         "quillon: QUILLON_TRUSTED_KEYS=\"" + keys + "\": " + keys +
             "/broken.pub: first line is not \"untrusted comment: ...\""},
        {{"QUILLON_TRUSTED_KEYS=" + file},
         "quillon: QUILLON_TRUSTED_KEYS=\"" + file + "\": " + file + ": Not a directory"},
    };
    if (root) {  // only root can give a folder away
        cases.push_back({{"QUILLON_RUNTIME_DIR=" + foreign},
                         "quillon: unusable QUILLON_RUNTIME_DIR " + foreign + ": owned by uid 4321"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env.front());
        ASSERT_TRUE(world.StartLauncher({}, c.env));
        auto status = world.Launcher().WaitExit(5000);
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2);
        EXPECT_TRUE(world.WaitPrefix(c.line, 1000)) << world.Transcript();
        EXPECT_EQ(world.Launcher().LineCount(), 1u) << world.Transcript();
        EXPECT_FALSE(FileExists(world.RuntimeDir() + "/QuillonMutex"));
    }
    EXPECT_EQ(world.Gateway().CountLines("PING "), 0u) << world.Gateway().Transcript();
}

TEST(LauncherStartup, RefusesToRunFromANetworkLocation) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    const std::string copy = CopyLauncherTo(world.Dir() + "/share");
    // "//host/..." is how a network location is written; on Linux the path still reaches the file.
    ASSERT_EQ(copy[0], '/');
    ASSERT_TRUE(world.StartLauncher({}, {}, "/" + copy));
    auto status = world.Launcher().WaitExit(5000);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_TRUE(world.WaitStatus(
        "MESSAGEBOX: Brenmoor Quillon: ERROR: Quillon Should not be run from a network drive", 1000))
        << world.Transcript();
    EXPECT_EQ(world.CountStatus("Quillon Startup"), 0u);
    EXPECT_TRUE(world.LockIsFree("QuillonMutex"));
}

TEST(LauncherStartup, TakesItsNameFromDefaultTxtAndTheOemClientType) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    // The wrong installation answers first and points at a port where nobody listens.
    ASSERT_TRUE(world.StartGateway({"--gateway", "Other,1,0,9", "--gateway", "Hall"}));
    const std::string text = "Hall\r\nsecond line\n";
    const std::string copy = CopyLauncherTo(world.Dir() + "/bin", &text);
    ASSERT_TRUE(world.StartLauncher({"/name:Lower"}, {"RUNTIMEOEMREV=7"}, copy));

    ASSERT_TRUE(
        world.WaitSequence({"Connected to gateway.", "Download Sucess", "TORVIX.EXE Started OK"}, kStepMs))
        << world.Transcript();
    auto request = world.Gateway().WaitForLine("DOWNLOAD_REQUEST", 1000);
    ASSERT_TRUE(request);
    EXPECT_NE(request->find("client=19"), std::string::npos) << *request;
    ASSERT_TRUE(world.WaitTabletCount(1, 2000));
    // The lower-case switch is not the switch: the name came from the file's first line.
    const auto argv = CommandLineOf(world.TabletPids().front());
    ASSERT_EQ(argv.size(), 2u);
    EXPECT_EQ(argv[1], "/NAME:Hall");
}

TEST(LauncherStartup, FollowsTheGatewayAwayAndBack) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.WaitStatus("Restoring QUILLON", kStepMs)) << world.Transcript();
    // Monitor mode off, so that the connection stays up instead of starting the application.
    ASSERT_TRUE(world.PostCommand(1129));
    // The next menu proves the command has been handled.
    ASSERT_TRUE(world.Control("MENU none"));
    ASSERT_TRUE(world.Control("TAP 50 50"));
    auto menu = world.WaitPrefix("MENU: ", kStepMs);
    ASSERT_TRUE(menu) << world.Transcript();
    EXPECT_EQ(menu->find("[x] Monitor Mode"), std::string::npos) << *menu;

    ASSERT_TRUE(world.StartGateway());
    auto up = world.WaitSequence(
        {"Ping From 127.0.0.1 GATEWAY", "Connected to gateway.", "TRAY: modify icon 101"}, kStepMs);
    ASSERT_TRUE(up) << world.Transcript();
    EXPECT_TRUE(world.Gateway().WaitForLine("HELLO ", 1000));

    world.KillGateway();
    auto down = world.WaitSequence(
        {"Disconnected from gateway.", "TRAY: modify icon 102", "Waiting for ping response."}, kStepMs,
        *up + 1);
    ASSERT_TRUE(down) << world.Transcript();

    ASSERT_TRUE(world.StartGateway());
    auto back =
        world.WaitSequence({"Ping From 127.0.0.1 GATEWAY", "Connected to gateway.", "TRAY: modify icon 101"},
                           kStepMs, *down + 1);
    ASSERT_TRUE(back) << world.Transcript();
    EXPECT_TRUE(world.Gateway().WaitForLine("HELLO ", 1000)) << world.Gateway().Transcript();
    // Installed and monitor mode off: never a version check nor a start.
    EXPECT_EQ(world.CountStatus("Getting Version Info..."), 0u);
    EXPECT_TRUE(world.TabletPids().empty());

    // "Exit" (as the menu posts it): window, tray icon, then the connection closes.
    ASSERT_TRUE(world.PostCommand(1130));
    ASSERT_TRUE(world.WaitSequence({"Shutting Down...", "TRAY: delete"}, kStepMs, *back + 1))
        << world.Transcript();
    EXPECT_TRUE(world.Gateway().WaitForLine("DISCONNECT", 5000)) << world.Gateway().Transcript();
    auto status = world.Launcher().WaitExit(5000);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_TRUE(world.LockIsFree("QuillonMutex"));
}
TEST(LauncherStartup, SigintAndSigtermEndItAsExitDoes) {
    for (int sig : {SIGINT, SIGTERM}) {
        LauncherWorld world;
        ASSERT_TRUE(world.Ready());
        ASSERT_TRUE(world.StartLauncher());
        ASSERT_TRUE(world.WaitStatus("Restoring QUILLON", kStepMs)) << world.Transcript();
        world.Launcher().Signal(sig);
        ASSERT_TRUE(world.WaitSequence({"Shutting Down...", "TRAY: delete"}, kStepMs)) << world.Transcript();
        auto status = world.Launcher().WaitExit(5000);
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status)) << "signal " << sig;
        EXPECT_EQ(WEXITSTATUS(*status), 0);
        EXPECT_TRUE(world.LockIsFree("QuillonMutex"));
        EXPECT_TRUE(world.LockIsFree("ShutdownQuillonMutex"));
    }
}
// An exclusive hold of one of the launcher's named mutexes, as the tablet application takes it.
class HeldLock {
public:
    explicit HeldLock(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {}
    ~HeldLock() { close(fd_); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    bool Take() { return fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0; }

private:
    int fd_;
};

// Wake-ups (context switches) of `pid` per second over `ms`.
double WakeupsPerSecond(pid_t pid, int ms) {
    const ProcUsage before = UsageOf(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    const ProcUsage after = UsageOf(pid);
    return before.ok && after.ok ? static_cast<double>(after.switches - before.switches) * 1000.0 / ms : 1e9;
}

TEST(LauncherStartup, IdleItWakesRarelyConnectedAndWhileTheApplicationRuns) {
    constexpr double kMaxWakeupsPerS = 10;
    constexpr int kWindowMs = 3000;
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway());
    {
        // Played by the test: an application that says it must not be restarted, then ends.
        HeldLock app(world.RuntimeDir() + "/TorvixMutex");
        HeldLock shutdown(world.RuntimeDir() + "/ShutdownQuillonMutex");
        ASSERT_TRUE(app.Take() && shutdown.Take());
        ASSERT_TRUE(world.StartLauncher());
        ASSERT_TRUE(world.WaitStatus("ShutdownMutex", kStepMs)) << world.Transcript();
    }
    const auto restored = world.WaitSequence({"Restoring QUILLON", "Connected to gateway."}, kStepMs);
    ASSERT_TRUE(restored) << world.Transcript();
    const double connected = WakeupsPerSecond(world.Launcher().Pid(), kWindowMs);
    std::printf("wake-ups, connected and the application not running: %.1f/s\n", connected);
    EXPECT_LE(connected, kMaxWakeupsPerS);

    HeldLock app(world.RuntimeDir() + "/TorvixMutex");
    ASSERT_TRUE(app.Take());
    ASSERT_TRUE(world.WaitStatus("Hiding QUILLON", 1000, *restored)) << world.Transcript();
    const double running = WakeupsPerSecond(world.Launcher().Pid(), kWindowMs);
    std::printf("wake-ups, the application running: %.1f/s\n", running);
    EXPECT_LE(running, kMaxWakeupsPerS);
}
}  // namespace
