#include "COMMON/BM_OS/runtimedir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "COMMON/BM_OS/bmclock.h"

namespace {
constexpr size_t kMaxRuntimeName = 200;
// The folder is checked at most this often: the launcher asks for it on every pass of its loop,
// yet a folder removed behind its back (a /tmp cleaner) must be made again.
constexpr uint32_t kRecheckMs = 1000;

// A function-local object: the folder may be asked for from static initialisers of other units.
std::string& Problem() {
    static std::string problem;
    return problem;
}

// Makes the folder, or accepts an existing one only when it is a real directory of our own
// (in a shared /tmp another user could have made it first to hold our mutexes or read our
// sockets); an existing one of ours that others may enter is narrowed to 0700. Returns why the
// folder cannot be used, or "".
std::string MakeDir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return std::strerror(errno);
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return S_ISLNK(st.st_mode) ? "a symbolic link, not a directory" : "not a directory";
    }
    if (st.st_uid != geteuid()) {
        return "owned by uid " + std::to_string(st.st_uid) + ", not by this user (uid " +
               std::to_string(geteuid()) + ")";
    }
    if ((st.st_mode & 0777) != 0700 && chmod(dir.c_str(), 0700) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("mode ") + mode + " cannot be set to 0700: " + std::strerror(errno);
    }
    return {};
}
}  // namespace

std::string RuntimeDirPath() {
    if (const char* env = std::getenv("QUILLON_RUNTIME_DIR"); env && *env) {
        return env;
    }
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
        return std::string(xdg) + "/quillon";
    }
    return "/tmp/quillon-" + std::to_string(getuid());
}

std::string RuntimeDir() {
    const std::string dir = RuntimeDirPath();
    static std::string checked;
    static uint32_t checkedAt = 0;
    if (!checked.empty() && dir == checked && ElapsedSince(checkedAt) < kRecheckMs) {
        return dir;
    }
    if (std::string why = MakeDir(dir); !why.empty()) {
        checked.clear();
        Problem() = dir + ": " + why;
        return {};
    }
    Problem().clear();
    checked = dir;
    checkedAt = GetTickCount();
    return dir;
}

std::string RuntimeDirProblem() {
    return Problem();
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
