// Helpers for the fault tests of the real launcher, beside LauncherWorld: timing, a small tmpfs
// mounted over a folder, files of hostile bytes, and looks into a running process (/proc).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/QUILLON/support_launcher.h"

// Milliseconds since construction, on the monotonic clock.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    long long ElapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                     start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

// A tmpfs of `bytes` mounted over the existing folder `path` for the object's life (needs root
// or CAP_SYS_ADMIN). Mounted() tells whether it worked; Error() says why not.
class TmpfsMount {
public:
    TmpfsMount(const std::string& path, size_t bytes);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool Mounted() const { return mounted_; }
    const std::string& Error() const { return error_; }
    // Bytes still free on the mounted file system.
    unsigned long long FreeBytes() const;

private:
    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

// Writes `bytes` to `path` (created or truncated); false on any failure.
bool WriteBytes(const std::string& path, const std::string& bytes);
// `n` pseudo-random bytes from a fixed seed, every byte value included (NUL, CR, LF, 0xFF).
std::string HostileBytes(size_t n, unsigned seed = 1);
// Names in `folder`, sorted; "." and ".." left out.
std::vector<std::string> FolderNames(const std::string& folder);

// Open descriptors of `pid`, or -1.
int OpenFdCount(pid_t pid);
// Children of `pid` that are zombies (ended, not reaped).
std::vector<pid_t> ZombieChildren(pid_t pid);
// The "State:" letter of `pid` from /proc ('?' when it is gone).
char ProcessState(pid_t pid);

// Waits until `text` has appeared at least `count` times among the launcher's status lines.
bool WaitStatusCount(LauncherWorld& world, const std::string& text, size_t count, int timeoutMs);
// Waits until the gateway peer has printed at least `count` lines beginning with `prefix`.
bool WaitGatewayCount(PeerProcess& gateway, const std::string& prefix, size_t count, int timeoutMs);

// A copy of the launcher in `folder` (created), with "DEFAULT.TXT" beside it holding `defaultText`
// unless that is null. The copy's path, or empty on failure.
std::string CopyLauncherTo(const std::string& folder, const std::string* defaultText);
// VmRSS of `pid` in kB, or -1.
long ResidentKb(pid_t pid);
