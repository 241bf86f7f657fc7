// The gateway peer: a single-threaded event loop over the discovery socket, the TCP listener and
// one client connection. It only ever sends to the sender of a ping and to its TCP client.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <string>

#include "TOOLS/gateway-sim/simoptions.h"

class GatewayPeer {
public:
    explicit GatewayPeer(SimOptions options);
    ~GatewayPeer();
    GatewayPeer(const GatewayPeer&) = delete;
    GatewayPeer& operator=(const GatewayPeer&) = delete;

    // Binds the discovery socket and the TCP listener and prints their DISCOVERY and LISTEN
    // lines (LISTEN last). Returns false, after a message on stderr, when a bind fails.
    bool Open();

    // Serves until SIGTERM/SIGINT or the --max-seconds limit; returns the exit status.
    int Run();

private:
    // A download being sent as pieces, produced lazily as the output drains.
    struct PieceJob {
        bool active = false;
        int fd = -1;
        uint16_t requestId = 0;
        uint16_t msgId = 0;
        uint32_t total = 0;
        uint64_t offset = 0;
        uint32_t pieces = 0;
    };

    struct Client {
        int fd = -1;
        std::string input;
        bool connectLineSeen = false;
        std::deque<std::string> output;
        size_t frontSent = 0;  // bytes of output.front() already sent
        uint64_t queuedBytes = 0;
        uint64_t bytesSent = 0;
        uint64_t lastSendMs = 0;
        uint32_t trickleAllowance = 0;
        uint64_t nextTrickleMs = 0;
        PieceJob job;
    };

    bool OpenDiscovery();
    bool OpenListener();
    void HandleSignals();
    int PollTimeoutMs(uint64_t now, uint64_t deadline) const;
    bool WantsWrite() const;

    void OnDatagram();
    void AnswerPing(const sockaddr_in& from);
    void OnAccept();
    void OnClientReadable();
    bool ProcessInput();
    void HandleMessage(uint16_t requestId, uint16_t msgId, const unsigned char* payload, uint32_t length);
    void HandleHello(const unsigned char* payload, uint32_t length);
    void HandleVersionRequest(uint16_t requestId, const unsigned char* payload, uint32_t length);
    void HandleDownloadRequest(uint16_t requestId, const unsigned char* payload, uint32_t length);
    void HandleEventReport(const unsigned char* payload, uint32_t length);

    bool FaultApplies(bool download) const;
    bool SendFaultReply(uint16_t requestId, uint16_t msgId, bool download);
    uint16_t ReplyRequestId(uint16_t requestId, bool download) const;
    uint16_t ReplyMsgId(uint16_t msgId, bool download) const;
    std::string CurrentVersion() const;
    void ServeWholeFile(uint16_t requestId, int fd, uint32_t size);
    void StartPieces(uint16_t requestId, int fd, uint32_t size);
    void RefillPieces();
    std::string NextPiece();
    void EndJob();

    void Queue(std::string bytes);
    void QueueIdleTraffic(uint64_t now);
    void FlushOutput(uint64_t now);
    size_t SendLimit(size_t want) const;
    void DropClient(const char* reason);

    SimOptions options_;
    int udpFd_ = -1;
    int listenFd_ = -1;
    uint16_t listenPort_ = 0;
    uint32_t announceAddress_ = 0;  // network order
    Client client_;
    uint32_t garbageSeed_ = 0x2545F491u;
};
