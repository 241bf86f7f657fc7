// Command line of the gateway peer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One gateway answering the discovery ping.
struct SimGateway {
    std::string name;
    uint8_t kind = 1;
    uint8_t flags = 0;
    std::optional<uint16_t> port;  // announced TCP port; default: the listener's
};

// Which replies the reply faults (garbage, oversized header, wrong ids) replace.
enum class FaultTarget { kAll, kVersion, kDownload };

struct SimOptions {
    std::vector<SimGateway> gateways;
    std::string discoveryAddress = "0.0.0.0";
    int discoveryPort = -1;  // -1: from QUILLON_DISCOVERY, else 444; 0: ephemeral
    bool discoveryEnabled = true;
    bool anySource = false;  // answer pings from outside 127.0.0.0/8 too
    size_t replyBytes = 40;  // length of each ping reply datagram (fault when not 40)

    std::string listenAddress = "127.0.0.1";
    uint16_t listenPort = 0;
    std::string announceAddress = "127.0.0.1";
    std::optional<uint16_t> announcePort;

    std::string versionText = "1.0.0.0";
    std::string versionFile;
    bool versionNarrow = false;
    std::string servedFile;
    uint16_t fileMsgId = 8131;
    bool forcePieces = false;
    uint32_t pieceSize = 262144;

    uint32_t idleMs = 3000;
    uint32_t maxSeconds = 600;
    bool verbose = false;

    // Faults.
    std::optional<uint64_t> closeAfter;
    bool stall = false;
    uint32_t garbageBytes = 0;
    std::optional<uint32_t> oversizedLength;
    std::optional<uint16_t> wrongMsgId;
    std::optional<uint16_t> replyRequestId;
    uint32_t trickleBytes = 0;  // 0: no trickle
    uint32_t trickleMs = 100;
    bool changingTotal = false;
    std::optional<uint32_t> declaredSize;
    uint32_t pieceExtra = 0;
    FaultTarget faultTarget = FaultTarget::kAll;
};

// Parses argv. Returns the options, or nothing after printing a message (or the help, with
// `helpShown` set) to stderr/stdout.
std::optional<SimOptions> ParseSimOptions(int argc, char** argv, bool& helpShown);

// The --help text.
const char* SimHelpText();
