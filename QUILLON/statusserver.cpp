#include "QUILLON/statusserver.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "QUILLON/statusprotocol.h"

namespace {
constexpr size_t kMaxRequest = 64;
constexpr int kBacklog = 4;

int MsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads one request line (at most kMaxRequest bytes) before the deadline; "" when none came.
std::string ReadRequest(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string request;
    char buffer[kMaxRequest];
    while (request.size() < kMaxRequest && request.find('\n') == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0) {
            break;
        }
        const ssize_t n = ::recv(fd, buffer, kMaxRequest - request.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        request.append(buffer, static_cast<size_t>(n));
    }
    return request;
}

void WriteAll(int fd, const std::string& text, std::chrono::steady_clock::time_point deadline) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) || ::poll(&p, 1, MsLeft(deadline)) <= 0) {
            return;  // a client that does not read is dropped
        }
    }
}
}  // namespace

bool StatusServer::Start(const std::string& runtimeDir) {
    Stop();
    problem_.clear();
    path_ = runtimeDir + "/" + kStatusSocketName;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (runtimeDir.empty() || path_.size() >= sizeof address.sun_path) {
        problem_ = path_ + ": " + (runtimeDir.empty() ? "no runtime folder" : "path too long for a socket");
        return false;
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ::unlink(path_.c_str());  // a dead launcher's socket: the instance lock says it is not in use
    struct stat made {};
    if (listenFd_ < 0 || wakeFd_ < 0 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, kBacklog) != 0 || ::stat(path_.c_str(), &made) != 0) {
        problem_ = path_ + ": " + std::strerror(errno);
        Stop();
        return false;
    }
    inode_ = made.st_ino;
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void StatusServer::Stop() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    if (listenFd_ >= 0) {
        // Removed only while it is the one made here: a later launcher may have replaced it.
        struct stat now {};
        if (!path_.empty() && ::stat(path_.c_str(), &now) == 0 && now.st_ino == inode_) {
            ::unlink(path_.c_str());
        }
        ::close(listenFd_);
        listenFd_ = -1;
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
}

void StatusServer::Update(const StatusSnapshot& snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_ = snapshot;
}

StatusSnapshot StatusServer::Current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshot_;
}

void StatusServer::Serve() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client >= 0) {
            Answer(client);
            ::close(client);
        }
    }
}

void StatusServer::Answer(int client) const {
    // The folder's mode keeps other users out; the peer's uid is checked too, in case the
    // folder was given wider rights behind the launcher's back.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid()) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClientTimeoutMs);
    const std::string request = ReadRequest(client, deadline);
    const StatusSnapshot snapshot = Current();
    WriteAll(client, request == kStatusRequestJson ? StatusJson(snapshot) : StatusText(snapshot), deadline);
}
