#include "COMMON/BM_OS/runtimedir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "COMMON/BM_OS/bmclock.h"

namespace {
constexpr size_t kMaxRuntimeName = 200;
// The folder is checked at most this often: the launcher asks for it on every pass of its loop,
// yet a folder removed behind its back (a /tmp cleaner) must be made again.
constexpr uint32_t kRecheckMs = 1000;

// Makes the folder, or accepts an existing one only when it is a real directory of our own
// (in a shared /tmp another user could have made it first to hold our mutexes or read our
// sockets); an existing one of ours that others may enter is narrowed to 0700.
bool MakeDir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
        return false;
    }
    return (st.st_mode & 077) == 0 || chmod(dir.c_str(), 0700) == 0;
}
}  // namespace

std::string RuntimeDir() {
    std::string dir;
    if (const char* env = std::getenv("QUILLON_RUNTIME_DIR"); env && *env) {
        dir = env;
    } else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
        dir = std::string(xdg) + "/quillon";
    } else {
        dir = "/tmp/quillon-" + std::to_string(getuid());
    }
    static std::string checked;
    static uint32_t checkedAt = 0;
    if (!checked.empty() && dir == checked && ElapsedSince(checkedAt) < kRecheckMs) {
        return dir;
    }
    if (!MakeDir(dir)) {
        checked.clear();
        return {};
    }
    checked = dir;
    checkedAt = GetTickCount();
    return dir;
}

bool IsSafeRuntimeName(const std::string& name) {
    if (name.empty() || name.size() > kMaxRuntimeName || name == "." || name == "..") {
        return false;
    }
    for (char c : name) {
        if (c == '/' || c == '\0') {
            return false;
        }
    }
    return true;
}
