// Helpers for the fault tests of the real launcher, beside LauncherWorld: a small tmpfs mounted
// over a folder, files of hostile bytes and waits on what the programs print.
#pragma once

#include <string>
#include <vector>

#include "tests/QUILLON/support_launcher.h"
#include "tests/support/wait_until.h"

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

// `n` pseudo-random bytes from a fixed seed, every byte value included (NUL, CR, LF, 0xFF).
std::string HostileBytes(size_t n, unsigned seed = 1);

// Waits until `text` has appeared at least `count` times among the launcher's status lines.
bool WaitStatusCount(LauncherWorld& world, const std::string& text, size_t count, int timeoutMs);
// Waits until the gateway peer has printed at least `count` lines beginning with `prefix`.
bool WaitGatewayCount(PeerProcess& gateway, const std::string& prefix, size_t count, int timeoutMs);

// A copy of the launcher in `folder` (created), with "DEFAULT.TXT" beside it holding `defaultText`
// unless that is null. The copy's path, or empty on failure.
std::string CopyLauncherTo(const std::string& folder, const std::string* defaultText = nullptr);
