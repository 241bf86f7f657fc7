// BmSocket: the one TCP connection to the gateway. Connects (with the connect line and
// MSG_HELLO), sends whole encoded messages, receives the byte stream into one buffer in which it
// recognises complete messages by their header (RecvBuffer), and keeps the link alive. Blocking socket;
// every wait is bounded.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>

#include "COMMON/BM_COMM/recvbuffer.h"
#include "COMMON/BM_COMM/socketutil.h"
#include "COMMON/BM_OS/envexpand.h"
#include "COMMON/BM_UTIL/bmstring.h"

class BmPingSocket;
class StatusSink;

// What the hello tells the gateway about this client: its type and the four identity texts
// (index 0 is text 1, the adapter-address text).
struct HelloIdentity {
    static constexpr int32_t kTexts = 4;
    int32_t clientType = kClientTypeDefault;
    BmString texts[kTexts];
};

// Told by the transport on every connect and disconnect (its owner, the gateway client).
class ConnectionObserver {
public:
    virtual ~ConnectionObserver() = default;
    virtual void OnTransportChanged() = 0;
};

// Told about a message while its bytes arrive (the downloader's progress on a big reply).
class ReceiveObserver {
public:
    virtual ~ReceiveObserver() = default;
    // `received` payload bytes of `declared` are in the buffer so far.
    virtual void OnReceiveProgress(uint32_t msgId, uint32_t requestId, uint32_t received, uint32_t declared) {
        (void)msgId, (void)requestId, (void)received, (void)declared;
    }
};

class BmSocket {
public:
    enum PollResult : int32_t { Closed = 0, Idle = 1, Received = 2, MessageReady = 3 };

    static constexpr uint32_t kReceiveBufferBytes = RecvBuffer::kCapacity;
    static constexpr uint32_t kMaxDeclaredLength = RecvBuffer::kMaxDeclaredLength;
    static constexpr uint32_t kConnectTimeoutMs = 1000;
    static constexpr uint32_t kWritableWaitMs = 500;
    static constexpr uint32_t kKeepAliveSilenceMs = 5000;
    static constexpr uint32_t kKeepAliveSendGapMs = 2000;
    static constexpr uint32_t kDeadSilenceMs = 10000;
    static constexpr uint32_t kLastChanceWaitMs = 25;
    static constexpr char kConnectLine[] = "CONNECTSERVERHOST\r\n\r\n";  // 21 bytes sent
    static constexpr uint32_t kConnectLineBytes = 21;
    static constexpr int32_t kHelloVersion = 706;

    // `observer` (may be null) is told of every connection change.
    explicit BmSocket(ConnectionObserver* observer = nullptr);
    BmSocket(const BmSocket&) = delete;
    BmSocket& operator=(const BmSocket&) = delete;
    virtual ~BmSocket();

    // Opens the TCP connection (bounded by kConnectTimeoutMs), drops the discovery socket, and
    // sends the connect line and MSG_HELLO. False when no connection could be made.
    bool Connect(const sockaddr_in& address);
    // Disconnects if connected, discovers a gateway named `wantedName` (any when empty), and
    // connects to it. Blocks about 50 ms when nothing answers.
    bool ConnectViaDiscovery(const char* wantedName, StatusSink* sink);
    // One discovery attempt (see bmpingsocket.h); fills `address` and answers true when a
    // gateway was chosen. Status lines go to `sink` when given.
    bool Discover(sockaddr_in* address, const char* wantedName, StatusSink* sink);
    // Closes the socket (telling the owner if it was open) and drops the receive buffer.
    void Disconnect();
    bool IsConnected() const { return socket_ != kInvalidSocket; }
    // The gateway the last discovery chose: its system name as it sent it, and its address
    // (empty and zero before the first choice). What `quillon --status` reports.
    const std::string& GatewayName() const { return gatewayName_; }
    const sockaddr_in& GatewayAddress() const { return gatewayAddress_; }

    // Sends `count` bytes as one whole message. A partial send is continued while the socket
    // becomes writable within kWritableWaitMs; anything else disconnects and answers false.
    bool Send(uint32_t count, const void* bytes);
    // Reads whatever is pending and checks that the link can take output. False: disconnected.
    bool Pump();
    // Looks for a complete message, else waits up to `waitMs` (-1: no read at all) and reads.
    PollResult Poll(int32_t waitMs);
    // The message at the parse position (after MessageReady); advances past it. `available`
    // receives the bytes held from the message's start to the end of the buffered data.
    uint8_t* NextMessage(uint32_t* available = nullptr);
    // Removes `count` bytes at `message` (inside the receive buffer); a count past the data
    // held disconnects.
    void Consume(uint8_t* message, uint32_t count);
    // Keep-alive and silence limit; true when the link is dead (the caller disconnects).
    bool CheckLiveness();
    bool Service() { return IsConnected(); }
    // Milliseconds until CheckLiveness has something to do (0: now); kWaitForever when not
    // connected. What a waiting caller uses as its time-out.
    uint32_t MsUntilLivenessDue() const;
    // True when the bytes at the parse position need handling without reading more: a whole
    // message, or a header that breaks the stream.
    bool HasBufferedWork() const;
    void SetNoDelay(bool on);
    // The identity the next hello carries (a copy is kept).
    void SetIdentity(const HelloIdentity& identity) { identity_ = identity; }

    void SetReceiveObserver(ReceiveObserver* observer) { progressObserver_ = observer; }
    ReceiveObserver* GetReceiveObserver() const { return progressObserver_; }

    // A caller that reads a message in place pins the buffer: a disconnect meanwhile keeps the
    // bytes alive until the last unpin. Generation changes with every disconnect, so the caller
    // knows whether its message still lies in the live buffer.
    void PinBuffer() { buffer_.Pin(); }
    void UnpinBuffer() { buffer_.Unpin(); }
    uint32_t Generation() const { return buffer_.Generation(); }

    // Inspection (tests, the gateway client).
    int Handle() const { return socket_; }
    uint32_t ParsePos() const { return buffer_.ParsePos(); }
    uint32_t FillLevel() const { return buffer_.FillLevel(); }
    bool HasReceiveBuffer() const { return buffer_.HasBuffer(); }
    BmPingSocket* Pinger() const { return pinger_.get(); }
    uint32_t LastSendTick() const { return lastSendTick_; }
    uint32_t LastReceiveTick() const { return lastReceiveTick_; }

private:
    void SendHello();
    bool ReadPending();  // false: disconnected
    bool SendAll(uint32_t count, const uint8_t* bytes);
    void Notify();

    ConnectionObserver* observer_;
    HelloIdentity identity_;
    std::unique_ptr<BmPingSocket> pinger_;
    int socket_ = kInvalidSocket;
    uint32_t lastSendTick_;
    RecvBuffer buffer_;
    uint32_t lastReceiveTick_;
    ReceiveObserver* progressObserver_ = nullptr;
    std::string gatewayName_;
    sockaddr_in gatewayAddress_{};
};
