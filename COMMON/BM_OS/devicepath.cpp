#include "COMMON/BM_OS/devicepath.h"

#include <cstdlib>

namespace {
constexpr const char* kDefaultDeviceRoot = "/var/lib/quillon";
}

std::string DeviceRoot() {
    const char* env = std::getenv("QUILLON_ROOT");
    std::string root = (env && *env) ? env : kDefaultDeviceRoot;
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

std::string DeviceFilePath(const char* path) {
    if (!path) {
        return {};
    }
    if (path[0] != '\\') {
        return path;
    }
    std::string mapped = DeviceRoot();
    for (const char* p = path; *p; ++p) {
        mapped.push_back(*p == '\\' ? '/' : *p);
    }
    return mapped;
}
