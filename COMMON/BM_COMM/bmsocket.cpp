#include "COMMON/BM_COMM/bmsocket.h"

#include <errno.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmpingsocket.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_UTIL/bmassert.h"

namespace {

constexpr int32_t kHelloItem2 = 5;
constexpr int32_t kHelloBlockBytes = 16;
// Identity texts go into MSG_HELLO in this order.
constexpr int32_t kHelloIdentityOrder[] = {1, 3, 4, 2};

}  // namespace

BmSocket::BmSocket(ConnectionObserver* observer)
    : observer_(observer), lastSendTick_(GetTickCount()), lastReceiveTick_(GetTickCount()) {}

BmSocket::~BmSocket() {
    Disconnect();
}

void BmSocket::Notify() {
    if (observer_ != nullptr) {
        observer_->OnTransportChanged();
    }
}

bool BmSocket::Connect(const sockaddr_in& address) {
    if (IsConnected()) {
        BM_ASSERT_REPORT();  // callers disconnect first
        Disconnect();
    }
    socket_ = ConnectWithin(address, kConnectTimeoutMs);
    if (socket_ == kInvalidSocket) {
        return false;
    }
    lastReceiveTick_ = GetTickCount();
    pinger_.reset();
    SetBlocking(socket_);
    if (!buffer_.Open()) {
        CloseSocket(socket_);
        socket_ = kInvalidSocket;
        return false;
    }
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
    hello.AppendInt32(identity_.clientType);
    for (const int32_t index : kHelloIdentityOrder) {
        hello.AppendString(identity_.texts[index - 1]);
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
    return buffer_.HasBuffer();
}

void BmSocket::Disconnect() {
    const bool wasOpen = socket_ != kInvalidSocket;
    if (wasOpen) {
        CloseSocket(socket_);
        socket_ = kInvalidSocket;
    }
    buffer_.Release();
    if (wasOpen) {
        Notify();
    }
}

bool BmSocket::ReadPending() {
    if (!WaitReadable(socket_, 0) || !buffer_.HasBuffer()) {
        return true;
    }
    const uint32_t room = buffer_.Room();
    if (room == 0) {
        return true;  // nothing fits until messages are consumed
    }
    lastReceiveTick_ = GetTickCount();
    const ssize_t got = ::recv(socket_, buffer_.Tail(), room, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return true;
    }
    if (got <= 0) {
        Disconnect();
        return false;
    }
    buffer_.Commit(static_cast<uint32_t>(got));
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
    WireHeader header;
    const RecvBuffer::Status status = buffer_.Inspect(&header);
    if (progressObserver_ != nullptr && buffer_.HasBuffer() && buffer_.Held() >= BmMsg::kHeaderBytes) {
        progressObserver_->OnReceiveProgress(header.msgId, header.requestId,
                                             buffer_.Held() - BmMsg::kHeaderBytes, header.length);
    }
    if (status == RecvBuffer::kReady) {
        return MessageReady;
    }
    if (status == RecvBuffer::kOversized || status == RecvBuffer::kWontFit) {
        if (status == RecvBuffer::kWontFit) {
            BM_ASSERT_REPORT();
        }
        Disconnect();
        return Closed;
    }
    if (!IsConnected()) {
        return Closed;
    }
    if (waitMs < 0 || !WaitReadable(socket_, static_cast<uint32_t>(waitMs))) {
        return Idle;
    }
    const uint32_t room = buffer_.Room();
    if (room == 0) {
        return Idle;
    }
    lastReceiveTick_ = GetTickCount();
    const ssize_t got = ::recv(socket_, buffer_.Tail(), room, MSG_DONTWAIT);
    if (got > 0) {
        buffer_.Commit(static_cast<uint32_t>(got));
        return Received;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return Idle;
    }
    Disconnect();
    return Closed;
}

uint8_t* BmSocket::NextMessage(uint32_t* available) {
    if (buffer_.FillLevel() == 0 || !buffer_.HasBuffer() || buffer_.ParsePos() % 4 != 0) {
        BM_ASSERT_REPORT();
    }
    return buffer_.NextMessage(available);
}

void BmSocket::Consume(uint8_t* message, uint32_t count) {
    switch (buffer_.Consume(message, count)) {
        case RecvBuffer::kConsumed:
            return;
        case RecvBuffer::kOutside:
            BM_ASSERT_REPORT();
            return;
        case RecvBuffer::kPastEnd:
            BM_ASSERT_REPORT();
            Disconnect();
            return;
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

uint32_t BmSocket::MsUntilLivenessDue() const {
    if (!IsConnected()) {
        return kWaitForever;
    }
    // CheckLiveness acts once a silence or gap is longer than its limit: one past each limit.
    const auto until = [](uint32_t since, uint32_t limit) {
        const uint32_t elapsed = ElapsedSince(since);
        return elapsed > limit ? 0u : limit + 1 - elapsed;
    };
    const uint32_t keepAlive =
        std::max(until(lastReceiveTick_, kKeepAliveSilenceMs), until(lastSendTick_, kKeepAliveSendGapMs));
    return std::min(keepAlive, until(lastReceiveTick_, kDeadSilenceMs));
}

bool BmSocket::HasBufferedWork() const {
    WireHeader header;
    return buffer_.HasBuffer() && buffer_.Inspect(&header) != RecvBuffer::kNeedMore;
}

void BmSocket::SetNoDelay(bool on) {
    const int value = on ? 1 : 0;
    if (::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &value, sizeof(value)) != 0) {
        BM_ASSERT_REPORT();
    }
}
