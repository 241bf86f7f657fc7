#include "COMMON/BM_COMM/bmpingsocket.h"

#include <errno.h>
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
    return sent == static_cast<ssize_t>(kPingBytes);
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
