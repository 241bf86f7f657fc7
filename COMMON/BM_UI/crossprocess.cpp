// Windows of other processes: each top-level window listens on a Unix datagram socket in the
// runtime folder, named from a hash of its class and title. A datagram is either a posted message
// (exactly kPostSize bytes) or a control request ("QUI1 " and text). See README.md.
#include "COMMON/BM_UI/crossprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "COMMON/BM_OS/runtimedir.h"
#include "COMMON/BM_UI/uireport.h"
#include "COMMON/BM_UI/uistate.h"
#include "COMMON/BM_UI/uitext.h"

namespace {
constexpr char kPostMagic[4] = {'Q', 'W', 'M', '1'};
constexpr size_t kPostSize = 24;  // magic, u32 message, u64 wParam, i64 lParam
constexpr char kControlPrefix[] = "QUI1 ";
constexpr size_t kControlPrefixSize = sizeof(kControlPrefix) - 1;
constexpr size_t kMaxControlSize = 1024;
constexpr int kMaxDatagramsPerPump = 64;
constexpr int kSendAttempts = 5;
constexpr int kSendAttemptWaitMs = 50;  // with the attempts: at most 250 ms on a full queue

uint64_t Fnv1a64(const std::string& bytes) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

// "<runtime dir>/w-<hash>.sock", or "" when there is no runtime folder or the path is too long.
std::string SocketPath(const std::u16string& className, const std::u16string& title) {
    const std::string dir = RuntimeDir();
    if (dir.empty()) {
        return {};
    }
    char name[32];
    // The class and title are hashed so that any title gives a safe, fixed-length file name.
    std::snprintf(
        name, sizeof name, "w-%016llx.sock",
        static_cast<unsigned long long>(Fnv1a64(Utf16ToUtf8(className) + '\n' + Utf16ToUtf8(title))));
    const std::string path = dir + "/" + name;
    sockaddr_un probe{};
    return path.size() < sizeof(probe.sun_path) ? path : std::string();
}

bool MakeAddress(const std::string& path, sockaddr_un* addr) {
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr->sun_path)) {
        return false;
    }
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Sends one datagram to the socket at path. A full receive queue (the owner is busy) is waited
// on briefly, never indefinitely. Returns 0, or the errno of the failure.
int SendDatagram(const std::string& path, const void* data, size_t size) {
    sockaddr_un addr;
    if (!MakeAddress(path, &addr)) {
        return ENAMETOOLONG;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return errno;
    }
    int err = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        err = errno;
    } else {
        // Counted in attempts, not on the program clock: a test's stopped clock must not make this wait
        // forever.
        for (int attempt = 0;; ++attempt) {
            const ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) {
                err = static_cast<size_t>(n) == size ? 0 : EMSGSIZE;
                break;
            }
            err = errno;
            if ((err != EAGAIN && err != EWOULDBLOCK) || attempt >= kSendAttempts) {
                break;
            }
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, kSendAttemptWaitMs);
        }
    }
    close(fd);
    return err;
}

// A socket file whose owner is gone refuses connections.
bool IsLiveSocket(const std::string& path) {
    sockaddr_un addr;
    if (!MakeAddress(path, &addr)) {
        return false;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool live = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return live;
}

int BindSocket(const std::string& path) {
    sockaddr_un addr;
    if (!MakeAddress(path, &addr)) {
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        return fd;
    }
    close(fd);
    return -1;
}

void HandleDatagram(BmWindow& w, const unsigned char* data, size_t size) {
    if (size == kPostSize && std::memcmp(data, kPostMagic, sizeof kPostMagic) == 0) {
        uint32_t message = 0;
        uint64_t wParam = 0;
        int64_t lParam = 0;
        std::memcpy(&message, data + 4, 4);
        std::memcpy(&wParam, data + 8, 8);
        std::memcpy(&lParam, data + 16, 8);
        PostLocalMessage(&w, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
        return;
    }
    if (size > kControlPrefixSize && size <= kMaxControlSize &&
        std::memcmp(data, kControlPrefix, kControlPrefixSize) == 0) {
        const std::string request(reinterpret_cast<const char*>(data) + kControlPrefixSize,
                                  size - kControlPrefixSize);
        if (HandleControlRequest(w, request)) {
            return;
        }
    }
    UiReport("CONTROL: rejected a datagram of " + std::to_string(size) + " bytes");
}
}  // namespace

void OpenWindowSocket(BmWindow& w) {
    const std::string path = SocketPath(w.className, w.title);
    if (path.empty()) {
        UiReport("UI: no runtime folder for the window socket; other processes cannot find this window");
        return;
    }
    int fd = BindSocket(path);
    if (fd < 0 && errno == EADDRINUSE) {
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && !IsLiveSocket(path)) {
            unlink(path.c_str());  // left by a process that died
            fd = BindSocket(path);
        }
    }
    if (fd < 0) {
        UiReport("UI: window socket not available (" + std::string(std::strerror(errno)) + ")");
        return;
    }
    w.socketFd = fd;
    w.socketPath = path;
}

void CloseWindowSocket(BmWindow& w) {
    if (w.socketFd >= 0) {
        close(w.socketFd);
        unlink(w.socketPath.c_str());
        w.socketFd = -1;
        w.socketPath.clear();
    }
}

void PumpWindowSockets() {
    unsigned char buffer[kMaxControlSize + 1];
    // A handler may create or destroy windows: walk a snapshot and re-check each window.
    std::vector<BmWindow*> snapshot;
    for (auto& w : Ui().windows) {
        if (w->socketFd >= 0) {
            snapshot.push_back(w.get());
        }
    }
    for (BmWindow* w : snapshot) {
        for (int i = 0; i < kMaxDatagramsPerPump && LocalWindow(w) && w->socketFd >= 0; ++i) {
            // MSG_TRUNC reports the real size, so an oversized datagram is recognised, not cut short.
            const ssize_t n = recv(w->socketFd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
            if (n < 0) {
                break;
            }
            if (static_cast<size_t>(n) > sizeof buffer) {
                UiReport("CONTROL: rejected an oversized datagram");
                continue;
            }
            HandleDatagram(*w, buffer, static_cast<size_t>(n));
        }
    }
}

HWND FindRemoteWindow(const std::u16string& className, const std::u16string& title) {
    const std::string path = SocketPath(className, title);
    if (path.empty() || !IsLiveSocket(path)) {
        return nullptr;
    }
    auto& slot = Ui().remotes[path];
    if (!slot) {
        slot = std::make_unique<BmWindow>();
        slot->remote = true;
        slot->remotePath = path;
        slot->className = className;
        slot->title = title;
    }
    return slot.get();
}

bool PostRemoteMessage(BmWindow& remote, UINT message, WPARAM wParam, LPARAM lParam) {
    unsigned char data[kPostSize];
    const uint32_t m = message;
    const uint64_t wp = wParam;
    const int64_t lp = lParam;
    std::memcpy(data, kPostMagic, 4);
    std::memcpy(data + 4, &m, 4);
    std::memcpy(data + 8, &wp, 8);
    std::memcpy(data + 16, &lp, 8);
    return SendDatagram(remote.remotePath, data, sizeof data) == 0;
}

BOOL SendWindowControl(const char16_t* className, const char16_t* title, const std::string& request) {
    if (!className || !title || request.empty() || request.size() + kControlPrefixSize > kMaxControlSize) {
        return FALSE;
    }
    const std::string path = SocketPath(std::u16string(className, Utf16Length(className)),
                                        std::u16string(title, Utf16Length(title)));
    const std::string datagram = kControlPrefix + request;
    return !path.empty() && SendDatagram(path, datagram.data(), datagram.size()) == 0 ? TRUE : FALSE;
}
