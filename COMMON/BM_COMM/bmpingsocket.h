// BmPingSocket: the UDP socket of gateway discovery. It sends the 8-byte ping
// (01 00 00 00 00 00 00 00) to the discovery target and takes 40-byte replies:
//   0  type, 32-bit LE, must be 2      10  kind (1, 2, 6, 7 or 8 accepted)
//   4  IPv4 address, network order     11  flags (0x10 set: refused)
//   8  TCP port, 16-bit LE             12  system name, 28 bytes, at most 27 characters
// The target is QUILLON_DISCOVERY=ADDR:PORT (dotted quad, decimal port 1-65535), else
// 255.255.255.255:444. A malformed value sends nothing: every ping fails until it is mended.
// When the limited broadcast cannot be sent (no route covers it, as on a LAN without a default
// route), the ping goes to each up IPv4 interface's directed broadcast address instead.
#pragma once

#include <netinet/in.h>

#include <cstdint>

class BmPingSocket {
public:
    static constexpr uint32_t kPingIntervalMs = 300;  // at most one ping per interval
    static constexpr uint32_t kReplyWaitMs = 50;
    static constexpr uint32_t kPingBytes = 8;
    static constexpr uint32_t kReplyBytes = 40;
    static constexpr uint32_t kReplyType = 2;
    static constexpr uint8_t kRefusedFlag = 0x10;
    static constexpr uint32_t kNameOffset = 12;
    static constexpr uint32_t kMaxNameChars = 27;
    static constexpr uint16_t kDiscoveryPort = 444;

    // Creates the socket (broadcast on, bound to an ephemeral port) and sends the first ping.
    BmPingSocket();
    BmPingSocket(const BmPingSocket&) = delete;
    BmPingSocket& operator=(const BmPingSocket&) = delete;
    virtual ~BmPingSocket();

    // Sends one ping to the discovery target; true if all 8 bytes went out.
    bool SendPing();
    // Re-pings when more than kPingIntervalMs passed since the last ping, waits up to
    // kReplyWaitMs for one datagram and copies it into `reply`. True only for a 40-byte
    // datagram of type 2; anything else (or nothing) is false.
    bool ReceiveReply(uint8_t (&reply)[kReplyBytes]);

    int Handle() const { return socket_; }
    uint32_t LastPingTick() const { return lastPingTick_; }
    bool RecreatePending() const { return recreateSocket_; }

    // True when a reply with these kind and flag bytes may be chosen.
    static bool IsAcceptable(const uint8_t (&reply)[kReplyBytes]);

private:
    void CreateSocket();

    int socket_ = -1;
    uint32_t lastPingTick_;
    bool recreateSocket_ = false;
};

// The discovery target from QUILLON_DISCOVERY (or the default); false when the value is
// malformed, leaving `target` untouched.
bool DiscoveryTarget(sockaddr_in* target);
// Strict parse of "a.b.c.d:port"; false on anything else.
bool ParseDiscoveryTarget(const char* text, sockaddr_in* target);
