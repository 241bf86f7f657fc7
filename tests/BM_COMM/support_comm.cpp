#include "tests/BM_COMM/support_comm.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "COMMON/BM_UTIL/bmassert.h"

namespace {

// Safety net: a test that forgets to set a target must never ping the real broadcast address;
// this one goes to the discard port on loopback, where nothing answers.
const bool gTargetDefaulted = [] {
    ::setenv("QUILLON_DISCOVERY", "127.0.0.1:9", 0);
    return true;
}();

std::atomic<int> gAssertions{0};
void CountAssertion(const BmString&) {
    ++gAssertions;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

uint16_t BoundPort(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof(a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

}  // namespace

void Put16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

void PutWide(Bytes& out, const std::u16string& text) {
    Put32(out, static_cast<uint32_t>(text.size() * 2) | 0x80000000u);
    for (char16_t c : text) {
        Put16(out, c);
    }
    while (out.size() % 4 != 0) {
        out.push_back(0);
    }
}

void PutNarrow(Bytes& out, const std::string& text) {
    Put32(out, static_cast<uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    while (out.size() % 4 != 0) {
        out.push_back(0);
    }
}

Bytes Frame(uint16_t requestId, uint16_t msgId, const Bytes& payload) {
    Bytes out;
    Put16(out, requestId);
    Put16(out, msgId);
    Put32(out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

AssertionCounter::AssertionCounter() {
    gAssertions = 0;
    SetAssertionObserver(&CountAssertion);
}

AssertionCounter::~AssertionCounter() {
    SetAssertionObserver(nullptr);
}

int AssertionCounter::Count() const {
    return gAssertions.load();
}

LoopbackListener::LoopbackListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(fd_, 8);
    port_ = BoundPort(fd_);
}

LoopbackListener::~LoopbackListener() {
    ::close(fd_);
}

sockaddr_in LoopbackListener::Address() const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port_);
    return a;
}

int LoopbackListener::Accept(int timeoutMs) {
    if (!Readable(fd_, timeoutMs)) {
        return -1;
    }
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

bool WriteAll(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

Bytes ReadExactly(int fd, size_t n, int timeoutMs) {
    Bytes out(n);
    size_t got = 0;
    const int64_t end = NowMs() + timeoutMs;
    while (got < n) {
        const int64_t left = end - NowMs();
        if (left <= 0 || !Readable(fd, static_cast<int>(left))) {
            break;
        }
        const ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
        if (r <= 0) {
            break;
        }
        got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
}

Bytes ReadFrame(int fd, int timeoutMs) {
    Bytes header = ReadExactly(fd, 8, timeoutMs);
    if (header.size() != 8) {
        return {};
    }
    const uint32_t length =
        header[4] | (header[5] << 8) | (header[6] << 16) | (static_cast<uint32_t>(header[7]) << 24);
    Bytes payload = ReadExactly(fd, length, timeoutMs);
    if (payload.size() != length) {
        return {};
    }
    header.insert(header.end(), payload.begin(), payload.end());
    return header;
}

Bytes ReadAvailable(int fd, int quietMs) {
    Bytes out;
    uint8_t chunk[4096];
    while (Readable(fd, quietMs)) {
        const ssize_t r = ::recv(fd, chunk, sizeof(chunk), 0);
        if (r <= 0) {
            break;
        }
        out.insert(out.end(), chunk, chunk + r);
    }
    return out;
}

UdpPeer::UdpPeer(const char* bindAddress) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, bindAddress, &a.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    port_ = BoundPort(fd_);
}

UdpPeer::~UdpPeer() {
    ::close(fd_);
}

Bytes UdpPeer::Receive(int timeoutMs, sockaddr_in* from) {
    if (!Readable(fd_, timeoutMs)) {
        return {};
    }
    Bytes out(4096);
    sockaddr_in sender{};
    socklen_t n = sizeof(sender);
    const ssize_t r = ::recvfrom(fd_, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&sender), &n);
    out.resize(r > 0 ? static_cast<size_t>(r) : 0);
    if (from != nullptr) {
        *from = sender;
    }
    return out;
}

int UdpPeer::DrainCount() {
    int count = 0;
    while (Readable(fd_, 0)) {
        uint8_t b[64];
        ::recv(fd_, b, sizeof(b), 0);
        ++count;
    }
    return count;
}

bool UdpPeer::SendTo(const sockaddr_in& to, const Bytes& bytes) {
    return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) ==
           static_cast<ssize_t>(bytes.size());
}

Bytes MakeReply(uint32_t type, const char* ip, uint16_t port, uint8_t kind, uint8_t flags,
                const std::string& name) {
    Bytes out;
    Put32(out, type);
    in_addr addr{};
    ::inet_pton(AF_INET, ip, &addr);
    const auto* octets = reinterpret_cast<const uint8_t*>(&addr.s_addr);
    out.insert(out.end(), octets, octets + 4);
    Put16(out, port);
    out.push_back(kind);
    out.push_back(flags);
    for (size_t i = 0; i < 28; ++i) {
        out.push_back(i < name.size() ? static_cast<uint8_t>(name[i]) : 0);
    }
    return out;
}

FakeGateway::FakeGateway(const std::string& name) : name_(name) {
    thread_ = std::thread([this] { Serve(); });
}

FakeGateway::~FakeGateway() {
    stop_ = true;
    thread_.join();
}

std::string FakeGateway::Target() const {
    return "127.0.0.1:" + std::to_string(udp_.Port());
}

void FakeGateway::Serve() {
    while (!stop_) {
        sockaddr_in from{};
        const Bytes ping = udp_.Receive(20, &from);
        if (ping.size() == 8) {
            ++pings_;
            udp_.SendTo(from, MakeReply(2, "127.0.0.1", tcp_.Port(), 1, 0, name_));
        }
    }
}

ScriptedPeer::ScriptedPeer(int fd, Handler handler) : fd_(fd), handler_(std::move(handler)) {
    thread_ = std::thread([this] {
        while (!stop_) {
            if (!Readable(fd_, 10)) {
                continue;
            }
            const Bytes frame = ReadFrame(fd_, 2000);
            if (frame.empty()) {
                break;  // closed or garbage: nothing more to answer
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                frames_.push_back(frame);
            }
            if (handler_) {
                handler_(fd_, frame);
            }
        }
    });
}

ScriptedPeer::~ScriptedPeer() {
    stop_ = true;
    thread_.join();
}

std::vector<Bytes> ScriptedPeer::Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

GatewaySession::GatewaySession() : target("QUILLON_DISCOVERY", gateway.Target().c_str()) {
    client.SetName("HOUSE");
    if (client.Start()) {
        peer = gateway.Tcp().Accept();
        if (peer >= 0) {
            ReadExactly(peer, 21);
            ReadFrame(peer);
        }
    }
    client.Poll(nullptr, REQUEST_ID_ALL, 0);  // takes the connection announcement
}

GatewaySession::~GatewaySession() {
    ClosePeer();
}

void GatewaySession::ClosePeer() {
    if (peer >= 0) {
        ::close(peer);
        peer = -1;
    }
}
