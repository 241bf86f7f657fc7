#include "COMMON/BM_OS/runtimedir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {
constexpr size_t kMaxRuntimeName = 200;

bool MakeDir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) == 0) {
        return true;
    }
    struct stat st {};
    return errno == EEXIST && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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
    return MakeDir(dir) ? dir : std::string();
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
