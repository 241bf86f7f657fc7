#include "QUILLON/statusclient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "QUILLON/statusprotocol.h"

namespace {
// An answer larger than this is not a status.
constexpr size_t kMaxAnswer = 64 * 1024;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};
}  // namespace

std::optional<std::string> AskLauncherStatus(const std::string& runtimeDir, bool json, int timeoutMs,
                                             std::string* problem) {
    const std::string path = runtimeDir + "/" + kStatusSocketName;
    const auto fail = [&](const std::string& why) -> std::optional<std::string> {
        if (problem != nullptr) {
            *problem = why;
        }
        return std::nullopt;
    };
    const std::string none = "no launcher is running with the runtime folder " + runtimeDir;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return fail(path + ": path too long for a socket");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        return fail(std::string("socket: ") + std::strerror(errno));
    }
    // A local connect completes or fails at once (a full backlog aside, which a busy launcher
    // clears within its client time-out).
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        return fail(error == ENOENT || error == ECONNREFUSED
                        ? none
                        : none + " (" + path + ": " + std::strerror(error) + ")");
    }
    const char* request = json ? kStatusRequestJson : kStatusRequestText;
    if (::send(fd.get(), request, std::strlen(request), MSG_NOSIGNAL) < 0) {
        return fail(none + " (" + std::strerror(errno) + ")");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string answer;
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        pollfd p{fd.get(), POLLIN, 0};
        const int ready = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return fail("the launcher in " + runtimeDir + " did not answer within " +
                        std::to_string(timeoutMs) + " ms");
        }
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        answer.append(buffer, static_cast<size_t>(n));
        if (answer.size() > kMaxAnswer) {
            return fail("the launcher in " + runtimeDir + " sent an answer too long to be a status");
        }
    }
    if (answer.empty() || answer.back() != '\n') {
        return fail("the launcher in " + runtimeDir + " gave no complete answer");
    }
    return answer;
}
