// Test helpers for the gateway-communication tests: loopback TCP and UDP peers, a hand-written
// wire encoder (independent of BmMsg) and an assertion counter.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/env_guard.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"

using Bytes = std::vector<uint8_t>;

// Little-endian pieces of a wire image, written by hand.
void Put16(Bytes& out, uint16_t v);
void Put32(Bytes& out, uint32_t v);
void PutWide(Bytes& out, const std::u16string& text);  // prefix with bit 31, padded
void PutNarrow(Bytes& out, const std::string& text);   // prefix, padded
Bytes Frame(uint16_t requestId, uint16_t msgId, const Bytes& payload);

// Counts assertion reports while alive.
class AssertionCounter {
public:
    AssertionCounter();
    ~AssertionCounter();
    int Count() const;
};

// A TCP listener on 127.0.0.1 with an ephemeral port.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    uint16_t Port() const { return port_; }
    sockaddr_in Address() const;
    int Accept(int timeoutMs = 2000);  // the peer's descriptor, or -1

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

bool WriteAll(int fd, const Bytes& bytes);
// Reads exactly n bytes within timeoutMs in all; what arrived (may be shorter).
Bytes ReadExactly(int fd, size_t n, int timeoutMs = 2000);
// Reads one framed message (header + payload) or returns an empty vector.
Bytes ReadFrame(int fd, int timeoutMs = 2000);
// Everything readable within timeoutMs of quiet.
Bytes ReadAvailable(int fd, int quietMs = 50);

// A UDP socket bound to 127.0.0.1 (or `bindAddress`) on an ephemeral port.
class UdpPeer {
public:
    explicit UdpPeer(const char* bindAddress = "127.0.0.1");
    ~UdpPeer();
    uint16_t Port() const { return port_; }
    // Waits for one datagram; its bytes (empty on time-out) and sender.
    Bytes Receive(int timeoutMs, sockaddr_in* from = nullptr);
    int DrainCount();  // datagrams waiting right now, consumed
    bool SendTo(const sockaddr_in& to, const Bytes& bytes);
    int Handle() const { return fd_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A 40-byte discovery reply.
Bytes MakeReply(uint32_t type, const char* ip, uint16_t port, uint8_t kind, uint8_t flags,
                const std::string& name);

// A gateway stand-in: answers every ping on its UDP port (in a thread) with the given replies,
// and listens for the TCP connection the client then makes.
class FakeGateway {
public:
    explicit FakeGateway(const std::string& name = "HOUSE");
    ~FakeGateway();
    uint16_t UdpPort() const { return udp_.Port(); }
    std::string Target() const;  // value for QUILLON_DISCOVERY
    LoopbackListener& Tcp() { return tcp_; }
    int Pings() const { return pings_.load(); }

private:
    void Serve();
    UdpPeer udp_;
    LoopbackListener tcp_;
    std::string name_;
    std::atomic<bool> stop_{false};
    std::atomic<int> pings_{0};
    std::thread thread_;
};

#include <functional>
#include <mutex>

#include "COMMON/BM_COMM/bmserver.h"

// Answers the frames a client sends on `fd`, in a thread: `handler` gets each whole frame and
// may write to `fd`. Stops (without closing `fd`) when destroyed.
class ScriptedPeer {
public:
    using Handler = std::function<void(int fd, const Bytes& frame)>;
    ScriptedPeer(int fd, Handler handler);
    ~ScriptedPeer();
    std::vector<Bytes> Frames();  // everything received so far

private:
    int fd_;
    Handler handler_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> frames_;
    std::thread thread_;
};

// A started gateway client connected to a FakeGateway; `peer` is the gateway's end, with the
// connect line and hello already read.
class GatewaySession {
public:
    GatewaySession();
    ~GatewaySession();
    bool Ok() const { return peer >= 0 && client.IsConnected(); }
    void ClosePeer();

    FakeGateway gateway;
    EnvGuard target;
    BmServer client;
    int peer = -1;
};
