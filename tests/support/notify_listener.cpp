#include "tests/support/notify_listener.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

NotifyListener::NotifyListener(const std::string& folder) {
    const std::string path = folder + "/notify";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        path_ = path;
    }
}

NotifyListener::~NotifyListener() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
}

const std::vector<std::string>& NotifyListener::Collect(int waitMs) {
    if (fd_ < 0) {
        return messages_;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) {
        return messages_;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) {
            break;
        }
        messages_.emplace_back(buffer, static_cast<size_t>(n));
    }
    return messages_;
}

size_t NotifyListener::Count(const std::string& message) const {
    return static_cast<size_t>(std::count(messages_.begin(), messages_.end(), message));
}
