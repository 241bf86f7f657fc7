#include "tests/QUILLON/support_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "COMMON/BM_UI/uicontrol.h"
#include "COMMON/BM_UI/winapi.h"
#include "tests/support/minisign_kit.h"
#include "tests/support/wait_until.h"

namespace {
constexpr char16_t kClass[] = u"CQuillonWnd";
constexpr char16_t kTitle[] = u"ZenoLauncher: Tap Below for Options";
}  // namespace

LauncherWorld::LauncherWorld() {
    if (dir_.Path().empty()) {
        return;
    }
    root_ = dir_.File("root");
    runtime_ = dir_.File("run");
    served_ = dir_.File("served");
    discoveryPort_ = FreeUdpPort();
    ready_ = mkdir(root_.c_str(), 0755) == 0 && mkdir(runtime_.c_str(), 0700) == 0 &&
             mkdir(served_.c_str(), 0755) == 0 && discoveryPort_ > 0;
    // This process finds the launcher's window and locks through the same runtime folder.
    runtimeEnv_ = std::make_unique<EnvGuard>("QUILLON_RUNTIME_DIR", runtime_);
    uiEnv_ = std::make_unique<EnvGuard>("QUILLON_UI", "headless");
}

LauncherWorld::~LauncherWorld() {
    launcher_.Stop();
    if (gateway_) {
        gateway_->Stop();
    }
    StopTabletApps();
}

bool LauncherWorld::MakeStampedApp(const std::string& path, const std::string& version) {
    return CopyFile(DEMO_APP_BIN, path) && RunToEnd({STAMP_VERSION_BIN, path, version}) == 0;
}

bool LauncherWorld::Publish(const std::string& version) {
    const std::string next = served_ + "/next.bin";
    if (!MakeStampedApp(next, version) || std::rename(next.c_str(), ServedFile().c_str()) != 0) {
        return false;
    }
    const std::string text = served_ + "/version.next";
    return WriteFile(text, version + "\n") &&
           std::rename(text.c_str(), (served_ + "/version.txt").c_str()) == 0;
}

bool LauncherWorld::InstallLocal(const std::string& version, const std::string& name) {
    return MakeStampedApp(root_ + "/" + name, version);
}

bool LauncherWorld::MakeKeys() {
    const MinisignKit kit(dir_.File("keys"));
    return mkdir(dir_.File("keys").c_str(), 0700) == 0 && kit.MakeKey("trusted") && kit.MakeKey("other") &&
           mkdir(TrustedKeysDir().c_str(), 0755) == 0 &&
           CopyFile(kit.PublicKey("trusted"), TrustedKeysDir() + "/trusted.pub", 0644);
}

std::string LauncherWorld::KeyId(const std::string& key) const {
    return MinisignKit(dir_.File("keys")).KeyId(key);
}

bool LauncherWorld::MakeSignedApp(const std::string& path, const std::string& version, const std::string& key,
                                  const Damage& damage) {
    const std::string plain = dir_.File("unsigned.bin");
    if (!MakeStampedApp(plain, version)) {
        return false;
    }
    std::string bytes = ReadFile(plain);
    if (!key.empty()) {
        const auto sig = MinisignKit(dir_.File("keys")).Sign(plain, key, false, "demo-app " + version);
        if (!sig) {
            return false;
        }
        bytes += SignedTrailer(*sig);
    }
    if (damage) {
        damage(bytes);
    }
    return WriteFile(path, bytes) && chmod(path.c_str(), 0755) == 0;
}

bool LauncherWorld::PublishSigned(const std::string& version, const std::string& key, const Damage& damage) {
    const std::string next = served_ + "/next.bin";
    if (!MakeSignedApp(next, version, key, damage) || std::rename(next.c_str(), ServedFile().c_str()) != 0) {
        return false;
    }
    const std::string text = served_ + "/version.next";
    return WriteFile(text, version + "\n") &&
           std::rename(text.c_str(), (served_ + "/version.txt").c_str()) == 0;
}

bool LauncherWorld::InstallLocalSigned(const std::string& version, const std::string& key,
                                       const Damage& damage) {
    return MakeSignedApp(root_ + "/TORVIX.EXE", version, key, damage);
}

bool LauncherWorld::StartGateway(const std::vector<std::string>& extraArgs) {
    gateway_ = std::make_unique<PeerProcess>();
    std::vector<std::string> args = {"--discovery-port", std::to_string(discoveryPort_),
                                     "--version-file",   served_ + "/version.txt",
                                     "--file",           ServedFile(),
                                     "--max-seconds",    "120"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return gateway_->Start(GATEWAY_SIM_BIN, args) && gateway_->ListenPort() > 0;
}

void LauncherWorld::KillGateway() {
    if (gateway_) {
        gateway_->Signal(SIGKILL);
        gateway_->Stop();
    }
}

bool LauncherWorld::StartLauncher(const std::vector<std::string>& args, const std::vector<std::string>& env,
                                  const std::string& program) {
    PeerProcess::Options options;
    options.args = args;
    options.mergeStderr = true;
    options.env = LauncherEnvironment();
    for (const std::string& entry : env) {
        // A test's own setting replaces the default of the same name.
        const std::string name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(options.env,
                      [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; });
        options.env.push_back(entry);
    }
    options.unsetEnv = {"DISPLAY",        "RUNTIMEOEMREV",          "DEMO_APP_HOLD_SHUTDOWN",
                        "DEMO_APP_CRASH", "DEMO_APP_CRASH_VERSION", "QUILLON_ROLLBACK"};
    return launcher_.Start(program.empty() ? std::string(QUILLON_BIN) : program, options);
}

std::vector<std::string> LauncherWorld::LauncherEnvironment() const {
    return {"QUILLON_ROOT=" + root_,
            "QUILLON_RUNTIME_DIR=" + runtime_,
            "QUILLON_DISCOVERY=127.255.255.255:" + std::to_string(discoveryPort_),
            "QUILLON_UI=headless",
            "QUILLON_TEST=1",
            "QUILLON_LAUNCH_PAUSE_MS=" + std::to_string(kLaunchPauseMs),
            "QUILLON_BACKOFF_MS=0",  // retries at once, as without pauses; a test may set its own
            "DEMO_APP_LOG=" + dir_.File("app.log"),
            "QUILLON_TRUSTED_KEYS=" + TrustedKeysDir(),  // never the machine's own keys
            "DEMO_APP_SECONDS=60"};
}

bool LauncherWorld::StartLauncherWith(const std::string& program, const PeerProcess::Options& options) {
    return launcher_.Start(program, options);
}

bool LauncherWorld::StartSecondLauncher(PeerProcess& process, const std::vector<std::string>& args) {
    PeerProcess::Options options;
    options.args = args;
    options.mergeStderr = true;
    options.env = {"QUILLON_ROOT=" + root_, "QUILLON_RUNTIME_DIR=" + runtime_,
                   "QUILLON_DISCOVERY=127.255.255.255:" + std::to_string(discoveryPort_),
                   "QUILLON_UI=headless", "QUILLON_TRUSTED_KEYS=" + TrustedKeysDir()};
    options.unsetEnv = {"DISPLAY"};
    return process.Start(QUILLON_BIN, options);
}

std::optional<size_t> LauncherWorld::WaitStatus(const std::string& text, int timeoutMs, size_t from) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        size_t index = 0;
        const auto line =
            launcher_.WaitForLine(text, static_cast<int>(std::max<int64_t>(0, left.count())), from, &index);
        if (!line) {
            return std::nullopt;
        }
        if (*line == text) {
            return index;
        }
        from = index + 1;  // a longer line with the same beginning
    }
}

std::optional<size_t> LauncherWorld::WaitSequence(std::initializer_list<std::string> texts, int timeoutMs,
                                                  size_t from) {
    std::optional<size_t> at;
    for (const std::string& text : texts) {
        at = WaitStatus(text, timeoutMs, from);
        if (!at) {
            return std::nullopt;
        }
        from = *at + 1;
    }
    return at;
}

size_t LauncherWorld::CountStatus(const std::string& text) {
    size_t n = 0;
    for (const std::string& line : launcher_.Lines()) {
        n += line == text ? 1 : 0;
    }
    return n;
}

std::optional<std::string> LauncherWorld::WaitPrefix(const std::string& prefix, int timeoutMs, size_t from,
                                                     size_t* index) {
    return launcher_.WaitForLine(prefix, timeoutMs, from, index);
}

bool LauncherWorld::Control(const std::string& request) {
    return SendWindowControl(kClass, kTitle, request) == TRUE;
}

bool LauncherWorld::PostCommand(unsigned id) {
    HWND window = FindWindowW(kClass, kTitle);
    return window != nullptr && PostMessageW(window, WM_COMMAND, id, 0) == TRUE;
}

std::vector<pid_t> LauncherWorld::TabletPids() const {
    // A process still inside exec already shows its new executable but no arguments yet.
    std::vector<pid_t> started;
    for (pid_t pid : ProcessesUnder(root_)) {
        if (!CommandLineOf(pid).empty()) {
            started.push_back(pid);
        }
    }
    return started;
}

bool LauncherWorld::WaitTabletCount(size_t count, int timeoutMs) const {
    return WaitUntil([&] { return TabletPids().size() == count; }, timeoutMs, 20);
}

void LauncherWorld::StopTabletApps() const {
    for (pid_t pid : ProcessesUnder(root_)) {
        kill(pid, SIGKILL);
    }
    WaitTabletCount(0, 2000);
}

std::string LauncherWorld::AppLog() const {
    return ReadFile(dir_.File("app.log"));
}

bool LauncherWorld::LockIsFree(const std::string& name) const {
    const std::string path = runtime_ + "/" + name;
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

bool LauncherWorld::WaitFileEquals(const std::string& path, const std::string& content, int timeoutMs) {
    return WaitUntil([&] { return ReadFile(path) == content; }, timeoutMs);
}

LauncherWorld::StatusAnswer LauncherWorld::AskStatus(bool json) const {
    StatusAnswer answer;
    const std::string errFile = dir_.File("status.err");
    const std::string command = "QUILLON_RUNTIME_DIR='" + runtime_ + "' '" + QUILLON_BIN + "' --status" +
                                (json ? " --json" : "") + " 2>'" + errFile + "'";
    const Stopwatch watch;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return answer;
    }
    char buffer[1024];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        answer.out.append(buffer, n);
    }
    const int status = pclose(pipe);
    answer.ms = watch.ElapsedMs();
    answer.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    answer.err = ReadFile(errFile);
    return answer;
}
