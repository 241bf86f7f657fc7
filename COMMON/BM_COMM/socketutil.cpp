#include "COMMON/BM_COMM/socketutil.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/stopsignal.h"

namespace {

bool WaitFor(int s, short events, uint32_t ms) {
    if (s < 0) {
        return false;
    }
    const uint32_t start = GetTickCount();
    uint32_t left = ms;
    for (;;) {
        // The stop descriptor ends every socket wait at once: a stopping program waits for no peer.
        pollfd entries[2] = {{s, events, 0}, {StopDescriptor(), POLLIN, 0}};
        const int rc = ::poll(entries, 2, static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left));
        if (StopRequested()) {
            return false;
        }
        if (rc > 0) {
            return entries[0].revents != 0;
        }
        if (rc == 0 || errno != EINTR) {
            return false;
        }
        const uint32_t spent = ElapsedSince(start);
        if (spent >= ms) {
            return false;
        }
        left = ms - spent;
    }
}

}  // namespace

bool WaitReadable(int s, uint32_t ms) {
    return WaitFor(s, POLLIN, ms);
}

bool WaitWritable(int s, uint32_t ms) {
    return WaitFor(s, POLLOUT, ms);
}

void MakeIPv4Address(sockaddr_in* address, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint16_t port) {
    std::memset(address, 0, sizeof(*address));
    address->sin_family = AF_INET;
    auto* octets = reinterpret_cast<uint8_t*>(&address->sin_addr.s_addr);
    octets[0] = b1;
    octets[1] = b2;
    octets[2] = b3;
    octets[3] = b4;
    address->sin_port = htons(port);
}

bool SetBlocking(int s) {
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0) {
        return false;
    }
    return ::fcntl(s, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

void CloseSocket(int s) {
    if (s < 0) {
        return;
    }
    ::shutdown(s, SHUT_RD);
    ::close(s);
}

BmString AddressText(const sockaddr_in& address) {
    const auto* octets = reinterpret_cast<const uint8_t*>(&address.sin_addr.s_addr);
    BmString text;
    text.Format(u"%d.%d.%d.%d", static_cast<int>(octets[0]), static_cast<int>(octets[1]),
                static_cast<int>(octets[2]), static_cast<int>(octets[3]));
    return text;
}

int ConnectWithin(const sockaddr_in& address, uint32_t timeoutMs) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        return kInvalidSocket;
    }
    // Non-blocking connect bounded by a poll, so a vanished peer cannot hang the caller.
    int rc = ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    if (rc != 0 && errno == EINPROGRESS) {
        rc = -1;
        if (WaitWritable(s, timeoutMs)) {
            int error = 0;
            socklen_t size = sizeof(error);
            if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
                rc = 0;
            }
        }
    }
    if (rc != 0) {
        CloseSocket(s);
        return kInvalidSocket;
    }
    return s;
}
