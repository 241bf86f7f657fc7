#include "COMMON/BM_COMM/bmsocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmpingsocket.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_UTIL/bmassert.h"

namespace {

constexpr int32_t kHelloItem2 = 5;
constexpr int32_t kHelloBlockBytes = 16;
// Identity texts go into MSG_HELLO in this order.
constexpr int32_t kHelloIdentityOrder[] = {1, 3, 4, 2};

bool WaitFor(int s, short events, uint32_t ms) {
    if (s < 0) {
        return false;
    }
    const uint32_t start = GetTickCount();
    uint32_t left = ms;
    for (;;) {
        pollfd entry{s, events, 0};
        const int rc = ::poll(&entry, 1, static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left));
        if (rc > 0) {
            return true;
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

uint32_t Load32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

uint16_t Load16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
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

BmSocket::BmSocket(BmServer* owner)
    : owner_(owner), lastSendTick_(GetTickCount()), lastReceiveTick_(GetTickCount()) {}

BmSocket::~BmSocket() {
    Disconnect();
    std::free(retiredBuffer_);
}

void BmSocket::Notify() {
    if (owner_ != nullptr) {
        owner_->NotifyConnectionChanged();
    }
}

bool BmSocket::OpenConnection(const sockaddr_in& address) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        return false;
    }
    // Non-blocking connect bounded by a poll, so a vanished gateway cannot hang the caller.
    int rc = ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    if (rc != 0 && errno == EINPROGRESS) {
        rc = -1;
        if (WaitWritable(s, kConnectTimeoutMs)) {
            int error = 0;
            socklen_t size = sizeof(error);
            if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
                rc = 0;
            }
        }
    }
    if (rc != 0) {
        CloseSocket(s);
        return false;
    }
    socket_ = s;
    return true;
}

bool BmSocket::Connect(const sockaddr_in& address) {
    if (IsConnected()) {
        BM_ASSERT_REPORT();  // callers disconnect first
        Disconnect();
    }
    if (!OpenConnection(address)) {
        socket_ = kInvalidSocket;
        return false;
    }
    lastReceiveTick_ = GetTickCount();
    pinger_.reset();
    SetBlocking(socket_);
    if (receiveBuffer_ == nullptr) {
        receiveBuffer_ = static_cast<uint8_t*>(std::malloc(kReceiveBufferBytes));
        if (receiveBuffer_ == nullptr) {
            CloseSocket(socket_);
            socket_ = kInvalidSocket;
            return false;
        }
    }
    parsePos_ = fillLevel_ = 0;
    Send(kConnectLineBytes, kConnectLine);
    if (IsConnected()) {
        SetBlocking(socket_);
        SetNoDelay(true);
        SendHello();
    }
    Notify();
    return true;
}

void BmSocket::SendHello() {
    BmMsg hello(REQUEST_ID_NONE, MSG_HELLO);
    const uint8_t zeros[kHelloBlockBytes] = {};
    hello.AppendInt32(kHelloVersion);
    hello.AppendInt32(kHelloItem2);
    hello.AppendString(BmString(kBuildString));
    hello.AppendInt32(kHelloBlockBytes);
    hello.AppendBytes(zeros, kHelloBlockBytes);
    hello.AppendInt32(owner_ != nullptr ? owner_->ClientType() : kClientTypeDefault);
    for (const int32_t index : kHelloIdentityOrder) {
        BmString text = owner_ != nullptr ? owner_->GetIdentityText(index) : BmString();
        hello.AppendString(text);
    }
    const uint8_t* wire = hello.WireBytes();
    if (Send(hello.WireSize(), wire)) {
        Pump();
    }
}

bool BmSocket::ConnectViaDiscovery(const char* wantedName, StatusSink* sink) {
    if (IsConnected()) {
        Disconnect();
    }
    sockaddr_in address{};
    if (!Discover(&address, wantedName, sink)) {
        return false;
    }
    if (!Connect(address)) {
        return false;
    }
    return receiveBuffer_ != nullptr;
}

void BmSocket::Disconnect() {
    if (socket_ != kInvalidSocket) {
        CloseSocket(socket_);
        socket_ = kInvalidSocket;
        ++generation_;
        Notify();
    }
    parsePos_ = fillLevel_ = 0;
    ReleaseBuffer();
}

void BmSocket::ReleaseBuffer() {
    if (receiveBuffer_ == nullptr) {
        return;
    }
    if (pins_ > 0) {
        // A message in it is still being read; the bytes live until the last unpin.
        std::free(retiredBuffer_);
        retiredBuffer_ = receiveBuffer_;
    } else {
        std::free(receiveBuffer_);
    }
    receiveBuffer_ = nullptr;
}

void BmSocket::UnpinBuffer() {
    if (pins_ > 0 && --pins_ == 0) {
        std::free(retiredBuffer_);
        retiredBuffer_ = nullptr;
    }
}

bool BmSocket::ReadPending() {
    if (!WaitReadable(socket_, 0) || receiveBuffer_ == nullptr) {
        return true;
    }
    const uint32_t room = kReceiveBufferBytes - fillLevel_;
    if (room == 0) {
        return true;  // nothing fits until messages are consumed
    }
    lastReceiveTick_ = GetTickCount();
    const ssize_t got = ::recv(socket_, receiveBuffer_ + fillLevel_, room, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return true;
    }
    if (got <= 0) {
        Disconnect();
        return false;
    }
    fillLevel_ += static_cast<uint32_t>(got);
    return true;
}

bool BmSocket::SendAll(uint32_t count, const uint8_t* bytes) {
    uint32_t sent = 0;
    while (sent < count) {
        errno = 0;
        const ssize_t n = ::send(socket_, bytes + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The rest of the message goes out once the peer takes more; a peer that takes
            // nothing for the whole wait makes the send a failure.
            if (!WaitWritable(socket_, kWritableWaitMs)) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

bool BmSocket::Send(uint32_t count, const void* bytes) {
    if (!IsConnected()) {
        return false;
    }
    Pump();
    if (!ReadPending()) {
        return false;
    }
    if (!WaitWritable(socket_, kWritableWaitMs)) {
        Disconnect();
        return false;
    }
    if (!SendAll(count, static_cast<const uint8_t*>(bytes))) {
        Disconnect();
        return false;
    }
    lastSendTick_ = GetTickCount();
    return true;
}

bool BmSocket::Pump() {
    if (!IsConnected()) {
        return false;
    }
    if (!ReadPending()) {
        return false;
    }
    if (!WaitWritable(socket_, kWritableWaitMs)) {
        Disconnect();
        return false;
    }
    errno = 0;
    const uint8_t probe = 0;
    const ssize_t n = ::send(socket_, &probe, 0, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n != 0) {
        Disconnect();
        return false;
    }
    lastSendTick_ = GetTickCount();
    return true;
}

BmSocket::PollResult BmSocket::Poll(int32_t waitMs) {
    if (receiveBuffer_ != nullptr && fillLevel_ - parsePos_ >= 8) {
        const uint8_t* header = receiveBuffer_ + parsePos_;
        const uint32_t available = fillLevel_ - parsePos_;
        const uint32_t declared = Load32(header + 4);
        if (progressObserver_ != nullptr) {
            progressObserver_->OnReceiveProgress(Load16(header + 2), Load16(header), available - 8, declared);
        }
        if (declared >= kMaxDeclaredLength) {
            Disconnect();
            return Closed;
        }
        if (available >= declared + 8) {
            return MessageReady;
        }
        if (parsePos_ + declared + 8 > kReceiveBufferBytes) {
            BM_ASSERT_REPORT();
            Disconnect();
            return Closed;
        }
    }
    if (!IsConnected()) {
        return Closed;
    }
    if (waitMs < 0 || !WaitReadable(socket_, static_cast<uint32_t>(waitMs))) {
        return Idle;
    }
    const uint32_t room = kReceiveBufferBytes - fillLevel_;
    if (receiveBuffer_ == nullptr || room == 0) {
        return Idle;
    }
    lastReceiveTick_ = GetTickCount();
    const ssize_t got = ::recv(socket_, receiveBuffer_ + fillLevel_, room, MSG_DONTWAIT);
    if (got > 0) {
        fillLevel_ += static_cast<uint32_t>(got);
        return Received;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return Idle;
    }
    Disconnect();
    return Closed;
}

uint8_t* BmSocket::NextMessage(uint32_t* available) {
    if (fillLevel_ == 0 || receiveBuffer_ == nullptr || parsePos_ % 4 != 0) {
        BM_ASSERT_REPORT();
    }
    if (receiveBuffer_ == nullptr || fillLevel_ - parsePos_ < 8) {
        if (available != nullptr) {
            *available = 0;
        }
        return nullptr;
    }
    uint8_t* message = receiveBuffer_ + parsePos_;
    const uint32_t held = fillLevel_ - parsePos_;
    const uint32_t size = Load32(message + 4) + 8;
    if (available != nullptr) {
        *available = held;
    }
    // Never past the data held, whatever the header says.
    parsePos_ += size <= held && size >= 8 ? size : held;
    return message;
}

void BmSocket::Consume(uint8_t* message, uint32_t count) {
    if (receiveBuffer_ == nullptr || message < receiveBuffer_ || message >= receiveBuffer_ + fillLevel_) {
        BM_ASSERT_REPORT();
        return;
    }
    const uint32_t offset = static_cast<uint32_t>(message - receiveBuffer_);
    if (count > fillLevel_ - offset) {
        BM_ASSERT_REPORT();
        Disconnect();
        return;
    }
    std::memmove(message, message + count, fillLevel_ - offset - count);
    parsePos_ = parsePos_ >= count ? parsePos_ - count : 0;
    fillLevel_ -= count;
    if (parsePos_ == fillLevel_ && parsePos_ >= 1 && parsePos_ <= 7) {
        parsePos_ = fillLevel_ = 0;
    }
}

bool BmSocket::CheckLiveness() {
    if (ElapsedSince(lastReceiveTick_) > kKeepAliveSilenceMs &&
        ElapsedSince(lastSendTick_) > kKeepAliveSendGapMs) {
        BmMsg keepAlive(REQUEST_ID_NONE, MSG_KEEPALIVE);
        const uint8_t* wire = keepAlive.WireBytes();
        if (!Send(keepAlive.WireSize(), wire)) {
            return true;
        }
    }
    if (ElapsedSince(lastReceiveTick_) > kDeadSilenceMs) {
        if (WaitReadable(socket_, kLastChanceWaitMs)) {
            lastReceiveTick_ = GetTickCount();
            return false;
        }
        return true;
    }
    return false;
}

void BmSocket::SetNoDelay(bool on) {
    const int value = on ? 1 : 0;
    if (::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &value, sizeof(value)) != 0) {
        BM_ASSERT_REPORT();
    }
}
