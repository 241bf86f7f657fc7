// End-to-end test world for the real launcher: a private device root and runtime folder, an
// ephemeral discovery port on loopback, the gateway peer serving the sample tablet application,
// and the launcher itself (headless), whose standard error carries its status lines. Everything
// started here is ended by the destructor, the tablet applications too (they run in sessions of
// their own, found by their executable lying under the device root).
#pragma once

#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/env_guard.h"
#include "tests/support/files.h"
#include "tests/support/peer_process.h"
#include "tests/support/proc_info.h"
#include "tests/support/scratch_dir.h"

class LauncherWorld {
public:
    static constexpr int kLaunchPauseMs = 300;  // QUILLON_LAUNCH_PAUSE_MS for the tests

    LauncherWorld();
    ~LauncherWorld();
    LauncherWorld(const LauncherWorld&) = delete;
    LauncherWorld& operator=(const LauncherWorld&) = delete;

    bool Ready() const { return ready_; }
    const std::string& Root() const { return root_; }
    const std::string& RuntimeDir() const { return runtime_; }
    const std::string& Dir() const { return dir_.Path(); }
    int DiscoveryPort() const { return discoveryPort_; }

    // A copy of the sample application stamped with `version` at `path`.
    static bool MakeStampedApp(const std::string& path, const std::string& version);
    // Makes the gateway serve the sample application with `version` (file first, then the text,
    // each by rename).
    bool Publish(const std::string& version);
    // Puts the sample application with `version` into the device root as `name`.
    bool InstallLocal(const std::string& version, const std::string& name = "TORVIX.EXE");
    std::string ServedFile() const { return served_ + "/TORVIX.EXE"; }

    // Signed updates. MakeKeys makes the minisign test keys "trusted" and "other" and puts the
    // public half of "trusted" into TrustedKeysDir(), which the launcher is always pointed at
    // (without MakeKeys it does not exist: no keys, nothing checked).
    bool MakeKeys();
    std::string TrustedKeysDir() const { return dir_.File("trusted-keys"); }
    std::string KeyId(const std::string& key) const;
    // The sample application with `version`, signed by `key` ("" : unsigned) and then passed
    // through `damage` (may be empty), written to `path`.
    using Damage = std::function<void(std::string& bytes)>;
    bool MakeSignedApp(const std::string& path, const std::string& version, const std::string& key,
                       const Damage& damage = {});
    // As Publish and InstallLocal, for a signed (or damaged) file.
    bool PublishSigned(const std::string& version, const std::string& key, const Damage& damage = {});
    bool InstallLocalSigned(const std::string& version, const std::string& key, const Damage& damage = {});

    // Starts the gateway peer on the world's discovery port with the served file and version.
    bool StartGateway(const std::vector<std::string>& extraArgs = {});
    PeerProcess& Gateway() { return *gateway_; }
    // Ends the gateway peer (SIGKILL: it vanishes without a goodbye) and makes a fresh one possible.
    void KillGateway();

    // Starts `program` (default the launcher) headless with the world's environment plus `env`.
    bool StartLauncher(const std::vector<std::string>& args = {}, const std::vector<std::string>& env = {},
                       const std::string& program = "");
    PeerProcess& Launcher() { return launcher_; }
    // The environment StartLauncher gives the launcher (before a test's own entries).
    std::vector<std::string> LauncherEnvironment() const;
    // Starts the launcher process exactly as `options` say (the world's environment not added).
    bool StartLauncherWith(const std::string& program, const PeerProcess::Options& options);
    // Another launcher process in the same world (second instance).
    bool StartSecondLauncher(PeerProcess& process, const std::vector<std::string>& args = {});

    // Waits for a line exactly equal to `text` at index `from` or later; its index, or nothing.
    std::optional<size_t> WaitStatus(const std::string& text, int timeoutMs, size_t from = 0);
    // Waits for the lines in this order; the index of the last one, or nothing.
    std::optional<size_t> WaitSequence(std::initializer_list<std::string> texts, int timeoutMs,
                                       size_t from = 0);
    size_t CountStatus(const std::string& text);
    // Waits for a line starting with `prefix`; the line, or nothing.
    std::optional<std::string> WaitPrefix(const std::string& prefix, int timeoutMs, size_t from = 0,
                                          size_t* index = nullptr);
    std::string Transcript() { return launcher_.Transcript(); }

    // Sends a control request ("TAP 10 10", "MENU id 1130", ...) to the launcher's window.
    bool Control(const std::string& request);
    // Posts WM_COMMAND `id` to the launcher's window, as a second instance does.
    bool PostCommand(unsigned id);

    // Processes whose executable lies under the device root.
    std::vector<pid_t> TabletPids() const;
    // Waits until the number of tablet processes is `count`.
    bool WaitTabletCount(size_t count, int timeoutMs) const;
    void StopTabletApps() const;
    // The sample application's start and stop lines (DEMO_APP_LOG).
    std::string AppLog() const;

    // `quillon --status` (with --json when `json`) asked in the world's runtime folder.
    struct StatusAnswer {
        int code = -1;     // exit code; -1 when it did not end normally
        std::string out;   // standard output
        std::string err;   // standard error
        long long ms = 0;  // how long it took
    };
    StatusAnswer AskStatus(bool json) const;

    // True when the lock `name` in the runtime folder can be taken (nobody holds it).
    bool LockIsFree(const std::string& name) const;

    // The device root after an update over an installed version, the new one still on trial.
    static std::vector<std::string> UpdatedRootNames() {
        return {"TORVIX.EXE", "TORVIX.EXE.previous", "TORVIX.EXE.trial"};
    }

    // Waits until the file at `path` holds exactly `content`.
    static bool WaitFileEquals(const std::string& path, const std::string& content, int timeoutMs);

private:
    ScratchDir dir_{"quillon-e2e"};
    std::string root_;
    std::string runtime_;
    std::string served_;
    int discoveryPort_ = -1;
    bool ready_ = false;
    std::unique_ptr<PeerProcess> gateway_;
    PeerProcess launcher_;
    std::unique_ptr<EnvGuard> runtimeEnv_;
    std::unique_ptr<EnvGuard> uiEnv_;
};
