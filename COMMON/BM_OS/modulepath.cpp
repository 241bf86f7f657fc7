#include "COMMON/BM_OS/modulepath.h"

#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {
constexpr size_t kMaxPathBytes = 4096;

// statfs f_type values of file systems whose files live on another machine.
constexpr uint32_t kNetworkFileSystems[] = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x564C,      // NCP
    0x73757245,  // Coda
    0x5346414F,  // AFS
    0x6B414653,  // kAFS
    0x00C36400,  // Ceph
    0x0BD00BD0,  // Lustre
    0x013111A8,  // IBRIX
    0x47504653,  // GPFS
};

bool HasTwoLeadingSeparators(const std::string& path) {
    auto separator = [](char c) { return c == '/' || c == '\\'; };
    return path.size() >= 2 && separator(path[0]) && separator(path[1]);
}
}  // namespace

std::string ModuleFileName() {
    char buffer[kMaxPathBytes];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) {
        return {};
    }
    return std::string(buffer, static_cast<size_t>(n));
}

bool IsNetworkPath(const std::string& path) {
    if (HasTwoLeadingSeparators(path)) {
        return true;
    }
    if (path.empty()) {
        return false;
    }
    struct statfs fs {};
    int r;
    do {
        r = statfs(path.c_str(), &fs);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        return false;
    }
    const uint32_t type = static_cast<uint32_t>(fs.f_type);
    for (uint32_t network : kNetworkFileSystems) {
        if (type == network) {
            return true;
        }
    }
    return false;
}
