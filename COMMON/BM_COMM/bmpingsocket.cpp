#include "COMMON/BM_COMM/bmpingsocket.h"

#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "COMMON/BM_COMM/socketutil.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_UTIL/byteorder.h"

namespace {

constexpr char kTargetVariable[] = "QUILLON_DISCOVERY";
constexpr uint32_t kDatagramBytes = 4096;

// Reads a decimal number of 1 to `maxDigits` digits not above `limit`; advances `text`.
bool ParseNumber(const char*& text, uint32_t limit, int maxDigits, uint32_t* out) {
    uint32_t value = 0;
    int digits = 0;
    while (*text >= '0' && *text <= '9') {
        if (++digits > maxDigits) {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(*text - '0');
        ++text;
    }
    if (digits == 0 || value > limit) {
        return false;
    }
    *out = value;
    return true;
}

void ReportBadTarget(const char* value) {
    // Told once per value seen, so a broken setting is visible without flooding the log.
    static char lastReported[64] = {};
    if (std::strncmp(lastReported, value, sizeof(lastReported) - 1) == 0) {
        return;
    }
    std::snprintf(lastReported, sizeof(lastReported), "%s", value);
    std::fprintf(stderr, "%s=\"%s\" is not ADDR:PORT; no discovery ping is sent\n", kTargetVariable, value);
}

bool IsLimitedBroadcast(const sockaddr_in& target) {
    return target.sin_addr.s_addr == htonl(INADDR_BROADCAST);
}

// Says once why the limited broadcast could not be sent; told again only after a ping went out
// or for another errno, so a LAN without a default route does not fill the log every 300 ms.
void ReportLimitedBroadcastError(int error) {
    static int lastReported = 0;
    if (error == lastReported) {
        return;
    }
    lastReported = error;
    if (error != 0) {
        std::fprintf(
            stderr,
            "discovery: ping to 255.255.255.255 failed (%s); pinging each interface's broadcast address\n",
            std::strerror(error));
    }
}

// The directed broadcast address of an up, broadcast-capable IPv4 interface, in network order;
// 0 for any other. An address added without "brd" carries none (the kernel then reports the
// address itself): it is made from the address and its netmask.
uint32_t DirectedBroadcast(const ifaddrs& ifa) {
    const unsigned flags = ifa.ifa_flags;
    if (ifa.ifa_addr == nullptr || ifa.ifa_addr->sa_family != AF_INET ||
        (flags & (IFF_UP | IFF_BROADCAST)) != (IFF_UP | IFF_BROADCAST) || (flags & IFF_LOOPBACK) != 0) {
        return 0;
    }
    sockaddr_in address{};
    std::memcpy(&address, ifa.ifa_addr, sizeof(address));
    if (ifa.ifa_broadaddr != nullptr && ifa.ifa_broadaddr->sa_family == AF_INET) {
        sockaddr_in given{};
        std::memcpy(&given, ifa.ifa_broadaddr, sizeof(given));
        if (given.sin_addr.s_addr != 0 && given.sin_addr.s_addr != address.sin_addr.s_addr) {
            return given.sin_addr.s_addr;
        }
    }
    if (ifa.ifa_netmask == nullptr) {
        return 0;
    }
    sockaddr_in mask{};
    std::memcpy(&mask, ifa.ifa_netmask, sizeof(mask));
    const uint32_t hostMask = ~ntohl(mask.sin_addr.s_addr);
    if (hostMask < 3) {  // /31 and /32 have no broadcast address
        return 0;
    }
    return htonl(ntohl(address.sin_addr.s_addr) | hostMask);
}

// Sends `ping` to the directed broadcast address of every up, broadcast-capable IPv4 interface
// (a LAN without a default route has no route for 255.255.255.255). True if one went out.
bool SendToInterfaceBroadcasts(int socket, const uint8_t* ping, size_t size, uint16_t portNetOrder) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool sentOne = false;
    for (const ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        const uint32_t broadcast = DirectedBroadcast(*ifa);
        if (broadcast == 0) {
            continue;
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = broadcast;
        to.sin_port = portNetOrder;
        const ssize_t sent =
            ::sendto(socket, ping, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        sentOne = sentOne || sent == static_cast<ssize_t>(size);
    }
    freeifaddrs(list);
    return sentOne;
}

}  // namespace

bool ParseDiscoveryTarget(const char* text, sockaddr_in* target) {
    if (text == nullptr) {
        return false;
    }
    uint32_t octets[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (!ParseNumber(text, 255, 3, &octets[i])) {
            return false;
        }
        if (*text++ != (i < 3 ? '.' : ':')) {
            return false;
        }
    }
    uint32_t port = 0;
    if (!ParseNumber(text, 65535, 5, &port) || port == 0 || *text != '\0') {
        return false;
    }
    MakeIPv4Address(target, static_cast<uint8_t>(octets[0]), static_cast<uint8_t>(octets[1]),
                    static_cast<uint8_t>(octets[2]), static_cast<uint8_t>(octets[3]),
                    static_cast<uint16_t>(port));
    return true;
}

bool DiscoveryTarget(sockaddr_in* target) {
    const char* value = std::getenv(kTargetVariable);
    if (value == nullptr) {
        MakeIPv4Address(target, 255, 255, 255, 255, BmPingSocket::kDiscoveryPort);
        return true;
    }
    if (!ParseDiscoveryTarget(value, target)) {
        ReportBadTarget(value);
        return false;
    }
    return true;
}

BmPingSocket::BmPingSocket() : lastPingTick_(GetTickCount()) {
    CreateSocket();
    recreateSocket_ = !SendPing();
}

BmPingSocket::~BmPingSocket() {
    CloseSocket(socket_);
}

void BmPingSocket::CreateSocket() {
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        socket_ = -1;
        return;
    }
    const int on = 1;
    ::setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    // Replies come back to this socket's own port: bind an ephemeral one explicitly.
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = 0;
    ::bind(socket_, reinterpret_cast<const sockaddr*>(&any), sizeof(any));
}

bool BmPingSocket::SendPing() {
    static const uint8_t kPing[kPingBytes] = {1, 0, 0, 0, 0, 0, 0, 0};
    lastPingTick_ = GetTickCount();
    sockaddr_in target{};
    if (socket_ < 0 || !DiscoveryTarget(&target)) {
        return false;
    }
    const ssize_t sent = ::sendto(socket_, kPing, kPingBytes, MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&target), sizeof(target));
    if (sent == static_cast<ssize_t>(kPingBytes)) {
        ReportLimitedBroadcastError(0);
        return true;
    }
    if (!IsLimitedBroadcast(target)) {
        return false;
    }
    ReportLimitedBroadcastError(sent < 0 ? errno : EMSGSIZE);
    return SendToInterfaceBroadcasts(socket_, kPing, kPingBytes, target.sin_port);
}

bool BmPingSocket::ReceiveReply(uint8_t (&reply)[kReplyBytes]) {
    std::memset(reply, 0, sizeof(reply));
    if (ElapsedSince(lastPingTick_) > kPingIntervalMs) {
        if (recreateSocket_) {
            CloseSocket(socket_);
            CreateSocket();
        }
        recreateSocket_ = false;
        if (!SendPing()) {
            recreateSocket_ = true;
        }
    }
    if (!WaitReadable(socket_, kReplyWaitMs)) {
        return false;
    }
    uint8_t datagram[kDatagramBytes];
    const ssize_t got = ::recvfrom(socket_, datagram, sizeof(datagram), MSG_DONTWAIT, nullptr, nullptr);
    if (got != static_cast<ssize_t>(kReplyBytes)) {
        return false;
    }
    std::memcpy(reply, datagram, kReplyBytes);
    return Load32(reply) == kReplyType;
}

bool BmPingSocket::IsAcceptable(const uint8_t (&reply)[kReplyBytes]) {
    const uint8_t kind = reply[10];
    const uint8_t flags = reply[11];
    const bool kindOk = kind == 1 || kind == 2 || kind == 6 || kind == 7 || kind == 8;
    return kindOk && (flags & kRefusedFlag) == 0;
}
