#include "tests/QUILLON/support_faults.h"

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

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

bool WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return out.good();
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

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int OpenFdCount(pid_t pid) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* entry = readdir(dir)) {
        n += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);
    return n;
}

namespace {
// The fields of /proc/<pid>/stat after the command name: state, ppid, ...
std::string StatAfterName(pid_t pid) {
    const std::string stat = LauncherWorld::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos ? std::string() : stat.substr(close + 2);
}
}  // namespace

std::vector<pid_t> ZombieChildren(pid_t pid) {
    std::vector<pid_t> zombies;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return zombies;
    }
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long child = std::strtol(entry->d_name, &end, 10);
        if (child <= 0 || *end != '\0') {
            continue;
        }
        const std::string rest = StatAfterName(static_cast<pid_t>(child));
        char state = '?';
        long parent = -1;
        if (std::sscanf(rest.c_str(), "%c %ld", &state, &parent) == 2 && parent == pid && state == 'Z') {
            zombies.push_back(static_cast<pid_t>(child));
        }
    }
    closedir(proc);
    return zombies;
}

char ProcessState(pid_t pid) {
    const std::string rest = StatAfterName(pid);
    return rest.empty() ? '?' : rest[0];
}

bool WaitStatusCount(LauncherWorld& world, const std::string& text, size_t count, int timeoutMs) {
    Stopwatch watch;
    while (world.CountStatus(text) < count) {
        if (watch.ElapsedMs() >= timeoutMs) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool WaitGatewayCount(PeerProcess& gateway, const std::string& prefix, size_t count, int timeoutMs) {
    Stopwatch watch;
    while (gateway.CountLines(prefix) < count) {
        if (watch.ElapsedMs() >= timeoutMs) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string CopyLauncherTo(const std::string& folder, const std::string* defaultText) {
    mkdir(folder.c_str(), 0755);
    const std::string path = folder + "/quillon";
    std::ifstream in(QUILLON_BIN, std::ios::binary);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    if (!out.good() || chmod(path.c_str(), 0755) != 0) {
        return {};
    }
    if (defaultText != nullptr && !WriteBytes(folder + "/DEFAULT.TXT", *defaultText)) {
        return {};
    }
    return path;
}

long ResidentKb(pid_t pid) {
    const std::string status = LauncherWorld::ReadFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}
