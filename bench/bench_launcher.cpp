// The running launcher, measured: idle cost while connected with the application not running and
// while the application runs (CPU time per minute and wake-ups per second, beside `sleep` in the
// same window), peak memory through the whole scenario, time from start to the connection,
// time from a new 20 MB version on the gateway to that version running, and bench_download's
// throughput figures (run as a child). Prints one table; every run stays on loopback.
//
//   bench_launcher [--window-s N]   (seconds of each idle window, default 20)
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_table.h"
#include "tests/support/files.h"
#include "tests/support/notify_listener.h"
#include "tests/support/peer_process.h"
#include "tests/support/proc_info.h"
#include "tests/support/scratch_dir.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr int kStepMs = 30000;
constexpr double kBigAppMb = 20;
constexpr double kLaunchPauseS = 5;
constexpr double kIdleCpuGoalPercent = 0.1;
constexpr double kIdleWakeupGoalPerS = 5;

double SecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// The sample application stamped with `version`, padded with zeros to `size` bytes (0: as built).
bool MakeApp(const std::string& path, const std::string& version, size_t size = 0) {
    std::string bytes = ReadFile(DEMO_APP_BIN);
    if (bytes.empty()) {
        return false;
    }
    if (size > bytes.size()) {
        bytes.resize(size, '\0');
    }
    return WriteFile(path, bytes) && chmod(path.c_str(), 0755) == 0 &&
           RunToEnd({STAMP_VERSION_BIN, path, version}, {}, true) == 0;
}

// An exclusive hold of a named mutex of the launcher (its lock file in the runtime folder).
class HeldLock {
public:
    explicit HeldLock(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        held_ = fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
    ~HeldLock() { Release(); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    bool Held() const { return held_; }
    void Release() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
        held_ = false;
    }

private:
    int fd_;
    bool held_ = false;
};

// A private device root, runtime folder and discovery port; the gateway peer and the launcher.
class BenchWorld {
public:
    BenchWorld() : root_(dir_.File("root")), run_(dir_.File("run")), served_(dir_.File("served")) {
        port_ = FreeUdpPort();
        ready_ = !dir_.Path().empty() && mkdir(root_.c_str(), 0755) == 0 && mkdir(run_.c_str(), 0700) == 0 &&
                 mkdir(served_.c_str(), 0755) == 0 && port_ > 0;
    }
    ~BenchWorld() {
        launcher_.Stop(8000);
        if (gateway_) {
            gateway_->Stop();
        }
        KillApps();
    }
    BenchWorld(const BenchWorld&) = delete;
    BenchWorld& operator=(const BenchWorld&) = delete;

    bool Ready() const { return ready_; }
    const std::string& Root() const { return root_; }
    std::string RunFile(const std::string& name) const { return run_ + "/" + name; }
    std::string Scratch(const std::string& name) const { return dir_.File(name); }
    PeerProcess& Launcher() { return launcher_; }

    // Serves the file at `prepared` with `version`: file first, then the text, each by rename.
    bool Publish(const std::string& prepared, const std::string& version) {
        const std::string text = served_ + "/version.next";
        return WriteFile(text, version + "\n") &&
               std::rename(prepared.c_str(), (served_ + "/TORVIX.EXE").c_str()) == 0 &&
               std::rename(text.c_str(), (served_ + "/version.txt").c_str()) == 0;
    }
    bool StartGateway(const std::vector<std::string>& extra = {}) {
        if (gateway_) {
            gateway_->Stop();
        }
        gateway_ = std::make_unique<PeerProcess>();
        std::vector<std::string> args = {
            "--discovery-port", std::to_string(port_),   "--version-file", served_ + "/version.txt",
            "--file",           served_ + "/TORVIX.EXE", "--max-seconds",  "900"};
        args.insert(args.end(), extra.begin(), extra.end());
        return gateway_->Start(GATEWAY_SIM_BIN, args) && gateway_->ListenPort() > 0;
    }
    // As under systemd: a notification socket and the units' 30 s watchdog, fed every 15 s.
    std::vector<std::string> LauncherEnv() const {
        return {"QUILLON_ROOT=" + root_,
                "QUILLON_RUNTIME_DIR=" + run_,
                "QUILLON_DISCOVERY=127.255.255.255:" + std::to_string(port_),
                "QUILLON_UI=headless",
                "DEMO_APP_SECONDS=900",
                "NOTIFY_SOCKET=" + notify_.Path(),
                "WATCHDOG_USEC=30000000"};
    }
    bool StartLauncher() {
        PeerProcess::Options options;
        options.env = LauncherEnv();
        options.unsetEnv = {"DISPLAY",       "QUILLON_TEST",   "QUILLON_LAUNCH_PAUSE_MS",
                            "RUNTIMEOEMREV", "DEMO_APP_CRASH", "DEMO_APP_HOLD_SHUTDOWN"};
        options.mergeStderr = true;
        return launcher_.Start(QUILLON_BIN, options);
    }
    // Waits for a line starting with `text` at index `from` or later; its index.
    std::optional<size_t> Wait(const std::string& text, size_t from = 0, int timeoutMs = kStepMs) {
        size_t index = 0;
        if (!launcher_.WaitForLine(text, timeoutMs, from, &index)) {
            std::fprintf(stderr, "bench_launcher: no \"%s\" from the launcher; it said:\n%s", text.c_str(),
                         launcher_.Transcript().c_str());
            return std::nullopt;
        }
        return index;
    }
    void KillApps() const {
        for (pid_t pid : ProcessesUnder(root_)) {
            kill(pid, SIGKILL);
        }
    }

private:
    ScratchDir dir_;
    NotifyListener notify_{dir_.Path()};
    std::string root_;
    std::string run_;
    std::string served_;
    int port_ = -1;
    bool ready_ = false;
    std::unique_ptr<PeerProcess> gateway_;
    PeerProcess launcher_;
};

struct IdleFigures {
    double cpuMsPerMin = -1;
    double corePercent = -1;
    double wakeupsPerS = -1;
};

// Measures `pid` and the reference `refPid` over the same `seconds`.
bool MeasureIdle(pid_t pid, pid_t refPid, int seconds, IdleFigures* out, IdleFigures* ref) {
    const ProcUsage a0 = UsageOf(pid);
    const ProcUsage r0 = UsageOf(refPid);
    const auto start = SteadyClock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const ProcUsage a1 = UsageOf(pid);
    const ProcUsage r1 = UsageOf(refPid);
    const double wall = SecondsSince(start);
    if (!a0.ok || !a1.ok || !r0.ok || !r1.ok) {
        return false;
    }
    auto fill = [wall](const ProcUsage& u0, const ProcUsage& u1, IdleFigures* f) {
        const double cpu = u1.cpuSeconds - u0.cpuSeconds;
        f->cpuMsPerMin = cpu * 1000 * 60 / wall;
        f->corePercent = cpu * 100 / wall;
        f->wakeupsPerS = static_cast<double>(u1.switches - u0.switches) / wall;
    };
    fill(a0, a1, out);
    fill(r0, r1, ref);
    return true;
}

void IdleRows(std::vector<Row>& rows, const std::string& state, const IdleFigures& f, const IdleFigures& r) {
    rows.push_back({"CPU, " + state, Fixed(f.cpuMsPerMin, 0, "ms/min") + " (" + Fixed(f.corePercent, 3, "%)"),
                    Fixed(r.cpuMsPerMin, 0, "ms/min") + " (" + Fixed(r.corePercent, 3, "%, sleep)"),
                    "< 0.1 % of a core", f.corePercent < kIdleCpuGoalPercent ? "met" : "MISSED"});
    rows.push_back({"wake-ups, " + state, Fixed(f.wakeupsPerS, 1, "/s"),
                    Fixed(r.wakeupsPerS, 1, "/s (sleep)"), "<= 5/s",
                    f.wakeupsPerS <= kIdleWakeupGoalPerS ? "met" : "MISSED"});
}

// Median of a few start-to-line times: the launcher's "Connected to gateway." and echo's line.
bool MeasureConnect(int rounds, double* connectS, double* firstLineS, double* echoS) {
    BenchWorld world;
    const std::string small = world.Scratch("small.bin");
    // Installed, and a gateway whose version answers never match: connected, nothing started.
    if (!world.Ready() || !MakeApp(small, "1.0.0.1") || !world.Publish(small, "1.0.0.1") ||
        !MakeApp(world.Root() + "/TORVIX.EXE", "1.0.0.1") ||
        !world.StartGateway({"--fault-on", "version", "--wrong-msg-id", "8000"})) {
        return false;
    }
    std::vector<double> connects;
    std::vector<double> firsts;
    std::vector<double> echoes;
    for (int i = 0; i < rounds; ++i) {
        const auto start = SteadyClock::now();
        if (!world.StartLauncher() || !world.Launcher().WaitForLine("", kStepMs)) {
            return false;
        }
        firsts.push_back(SecondsSince(start));
        if (!world.Wait("Connected to gateway.")) {
            return false;
        }
        connects.push_back(SecondsSince(start));
        world.Launcher().Stop(8000);
        PeerProcess echo;
        const auto echoStart = SteadyClock::now();
        if (!echo.Start("/bin/echo", {"ready"}) || !echo.WaitForLine("ready", kStepMs)) {
            return false;
        }
        echoes.push_back(SecondsSince(echoStart));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    *connectS = median(connects);
    *firstLineS = median(firsts);
    *echoS = median(echoes);
    return true;
}

// bench_download beside this program, as a child; its output lines.
std::vector<std::string> RunBenchDownload() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return {"(cannot find bench_download)"};
    }
    std::string path(self, static_cast<size_t>(n));
    path = path.substr(0, path.rfind('/') + 1) + "bench_download";
    PeerProcess child;
    if (!child.Start(path, {"--size-mb", "64", "--rounds", "3"})) {
        return {"(bench_download did not start)"};
    }
    auto status = child.WaitExit(300000);
    child.Stop();
    std::vector<std::string> lines = child.Lines();
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        lines.push_back("(bench_download failed)");
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    int windowS = 20;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--window-s") == 0 && i + 1 < argc) {
            windowS = std::max(2, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench_launcher [--window-s N]\n");
            return 2;
        }
    }
    std::vector<Row> rows;

    double connectS = 0;
    double firstLineS = 0;
    double echoS = 0;
    if (!MeasureConnect(5, &connectS, &firstLineS, &echoS)) {
        std::fprintf(stderr, "bench_launcher: the connect rounds failed\n");
        return 1;
    }
    rows.push_back({"start to \"Connected to gateway.\"", Fixed(connectS * 1000, 1, "ms"),
                    Fixed(echoS * 1000, 1, "ms (echo's line)"), "< 100 ms",
                    connectS < 0.1 ? "met" : "MISSED"});
    rows.push_back({"start to the first status line", Fixed(firstLineS * 1000, 1, "ms"), "-", "-", "-"});

    BenchWorld world;
    const std::string small = world.Scratch("small.bin");
    const std::string big = world.Scratch("big.bin");
    const size_t bigBytes = static_cast<size_t>(kBigAppMb * 1024 * 1024);
    if (!world.Ready() || !MakeApp(world.Root() + "/TORVIX.EXE", "1.0.0.1") || !MakeApp(small, "1.0.0.1") ||
        !MakeApp(big, "2.0.0.0", bigBytes) || !world.Publish(small, "1.0.0.1") || !world.StartGateway()) {
        std::fprintf(stderr, "bench_launcher: could not set up the world\n");
        return 1;
    }
    // Connected with the application not running: the application's shutdown signal turns monitor
    // mode off; this process plays the application for a moment.
    {
        HeldLock app(world.RunFile("TorvixMutex"));
        HeldLock shutdown(world.RunFile("ShutdownQuillonMutex"));
        if (!app.Held() || !shutdown.Held() || !world.StartLauncher() || !world.Wait("ShutdownMutex")) {
            return 1;
        }
    }
    const auto restored = world.Wait("Restoring QUILLON");
    if (!restored || !world.Wait("Connected to gateway.", *restored)) {
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const pid_t launcher = world.Launcher().Pid();
    PeerProcess sleeper;
    if (!sleeper.Start("/bin/sleep", {"600"})) {
        return 1;
    }
    IdleFigures connected;
    IdleFigures sleepConnected;
    const size_t beforeIdle = world.Launcher().LineCount();
    if (!MeasureIdle(launcher, sleeper.Pid(), windowS, &connected, &sleepConnected)) {
        return 1;
    }
    const size_t idleLines = world.Launcher().LineCount() - beforeIdle;
    IdleRows(rows, "connected, app not running", connected, sleepConnected);
    const long hwmBeforeKb = ProcStatusField(launcher, "VmHWM");
    // Where the memory at rest is: mapped files (libraries, fonts) against our own allocations.
    const long fileKb = ProcStatusField(launcher, "RssFile");
    const long anonKb = ProcStatusField(launcher, "RssAnon");

    // A new 20 MB version, and monitor mode on again as a second instance asks.
    const auto announced = SteadyClock::now();
    const size_t from = world.Launcher().LineCount();
    if (!world.Publish(big, "2.0.0.0") || RunToEnd({QUILLON_BIN}, world.LauncherEnv(), true) != 0) {
        return 1;
    }
    const auto wrong = world.Wait("Wrong version, loading...", from);
    if (!wrong) {
        return 1;
    }
    const double toWrong = SecondsSince(announced);
    const auto loaded = world.Wait("Download Sucess", *wrong);
    if (!loaded) {
        return 1;
    }
    const double downloadS = SecondsSince(announced) - toWrong;
    if (!world.Wait("demo-app 2.0.0.0 started", *loaded)) {
        return 1;
    }
    const double updateS = SecondsSince(announced);
    rows.push_back({"new 20 MB version to it running", Fixed(updateS, 2, "s"),
                    Fixed(downloadS, 2, "s download") + " + " + Fixed(toWrong, 2, "s to ask"),
                    "<= download + 5 s",
                    updateS <= downloadS + toWrong + kLaunchPauseS + 0.5 ? "met" : "MISSED"});

    // The application runs.
    if (!world.Wait("Hiding QUILLON", *loaded)) {
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    IdleFigures running;
    IdleFigures sleepRunning;
    if (!MeasureIdle(launcher, sleeper.Pid(), windowS, &running, &sleepRunning)) {
        return 1;
    }
    IdleRows(rows, "app running", running, sleepRunning);

    const long hwmKb = ProcStatusField(launcher, "VmHWM");
    const long sleepHwmKb = ProcStatusField(sleeper.Pid(), "VmHWM");
    // The download streams to disk: a 20 MB version costs the launcher no more than any other.
    const double goalMb = 20;
    rows.push_back({"peak memory (VmHWM), whole scenario", Fixed(hwmKb / 1024.0, 1, "MB"),
                    Fixed(sleepHwmKb / 1024.0, 1, "MB (sleep)"), "<= 20 MB",
                    hwmKb / 1024.0 <= goalMb ? "met" : "MISSED"});
    rows.push_back(
        {"  of it before the 20 MB download", Fixed(hwmBeforeKb / 1024.0, 1, "MB"), "-", "-", "-"});
    rows.push_back({"  at rest: mapped files / own memory",
                    Fixed(fileKb / 1024.0, 1, "MB") + " / " + Fixed(anonKb / 1024.0, 1, "MB"),
                    "libs and fonts / heap and images", "-", "-"});
    world.Launcher().Stop(8000);
    world.KillApps();
    sleeper.Stop();

    const std::vector<std::string> download = RunBenchDownload();

    PrintTable(rows, "launcher", 26, 32, 20, 130);
    std::printf(
        "(idle windows of %d s each, the watchdog on (30 s); %zu status lines during the connected window)\n",
        windowS, idleLines);
    std::printf("\nbench_download --size-mb 64 --rounds 3:\n");
    for (const std::string& line : download) {
        std::printf("  %s\n", line.c_str());
    }
    return 0;
}
