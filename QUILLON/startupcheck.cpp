#include "QUILLON/startupcheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "COMMON/BM_COMM/bmpingsocket.h"
#include "COMMON/BM_OS/devicepath.h"
#include "COMMON/BM_OS/runtimedir.h"
#include "COMMON/BM_SIGN/trustedkeys.h"
#include "COMMON/BM_UI/uibackend.h"

namespace {
// `NAME="value": cause`, or `NAME unset, default "value": cause`.
std::string Named(const char* name, const std::string& value, const std::string& cause) {
    const char* set = std::getenv(name);
    if (set != nullptr && *set != '\0') {
        return std::string(name) + "=\"" + value + "\": " + cause;
    }
    return std::string(name) + " unset, default \"" + value + "\": " + cause;
}

std::string DiscoveryProblem() {
    const char* value = std::getenv("QUILLON_DISCOVERY");
    sockaddr_in target{};
    if (value == nullptr || ParseDiscoveryTarget(value, &target)) {
        return {};
    }
    return std::string("QUILLON_DISCOVERY=\"") + value +
           "\": " + (*value == '\0' ? "empty" : "not ADDR:PORT (a dotted IPv4 address and a port 1-65535)");
}

std::string DisplayProblem() {
    const char* ui = std::getenv("QUILLON_UI");
    if (ui == nullptr || std::strcmp(ui, "x11") != 0) {
        return {};  // without an explicit x11 the layer falls back to headless by itself
    }
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        return "QUILLON_UI=\"x11\": DISPLAY is not set";
    }
    std::string why;
    auto x11 = MakeX11Backend(&why);
    if (x11 == nullptr) {
        return std::string("QUILLON_UI=\"x11\": cannot use DISPLAY=\"") + display + "\": " + why;
    }
    AdoptBackend(std::move(x11));  // kept open: see AdoptBackend
    return {};
}

std::string DeviceRootProblem() {
    const std::string root = DeviceRoot();
    struct stat st {};
    if (stat(root.c_str(), &st) != 0) {
        return Named("QUILLON_ROOT", root, std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return Named("QUILLON_ROOT", root, "not a directory");
    }
    if (access(root.c_str(), W_OK | X_OK) != 0) {
        return Named("QUILLON_ROOT", root, std::string("cannot be written: ") + std::strerror(errno));
    }
    return {};
}

std::string RuntimeFolderProblem() {
    if (!RuntimeDir().empty()) {
        return {};
    }
    const char* given = std::getenv("QUILLON_RUNTIME_DIR");
    const std::string where = given != nullptr && *given != '\0' ? "QUILLON_RUNTIME_DIR" : "runtime folder";
    return "unusable " + where + " " + RuntimeDirProblem();
}
// A key file that cannot be used would otherwise leave updates unchecked without a word.
std::string TrustedKeysProblem() {
    const std::string folder = TrustedKeys::ConfiguredFolder();
    TrustedKeys keys;
    std::string problem;
    return keys.LoadFolder(folder, &problem) ? "" : Named(kTrustedKeysVariable, folder, problem);
}
}  // namespace

std::string ConfigurationProblem() {
    for (auto check :
         {DiscoveryProblem, DisplayProblem, DeviceRootProblem, RuntimeFolderProblem, TrustedKeysProblem}) {
        if (std::string problem = check(); !problem.empty()) {
            return problem;
        }
    }
    return {};
}
