#include "tests/QUILLON/support_faults.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

TmpfsMount::TmpfsMount(const std::string& path, size_t bytes) : path_(path) {
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
        mounted_ = true;
    } else {
        error_ = std::string("mount tmpfs on ") + path + ": " + std::strerror(errno);
    }
}

TmpfsMount::~TmpfsMount() {
    if (mounted_) {
        // Lazy, so that a process still holding a file there cannot keep the mount alive.
        umount2(path_.c_str(), MNT_DETACH);
    }
}

unsigned long long TmpfsMount::FreeBytes() const {
    struct statvfs st {};
    if (statvfs(path_.c_str(), &st) != 0) {
        return 0;
    }
    return static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
}

std::string HostileBytes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        // The first 256 bytes hold every value once; the rest is noise.
        out[i] = static_cast<char>(i < 256 ? i : random() & 0xFF);
    }
    return out;
}

bool WaitStatusCount(LauncherWorld& world, const std::string& text, size_t count, int timeoutMs) {
    return WaitUntil([&] { return world.CountStatus(text) >= count; }, timeoutMs, 20);
}

bool WaitGatewayCount(PeerProcess& gateway, const std::string& prefix, size_t count, int timeoutMs) {
    return WaitUntil([&] { return gateway.CountLines(prefix) >= count; }, timeoutMs);
}

std::string CopyLauncherTo(const std::string& folder, const std::string* defaultText) {
    mkdir(folder.c_str(), 0755);
    const std::string path = folder + "/quillon";
    if (!CopyFile(QUILLON_BIN, path)) {
        return {};
    }
    if (defaultText != nullptr && !WriteFile(folder + "/DEFAULT.TXT", *defaultText)) {
        return {};
    }
    return path;
}
