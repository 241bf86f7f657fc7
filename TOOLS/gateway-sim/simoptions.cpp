#include "TOOLS/gateway-sim/simoptions.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kHelp[] =
    "Usage: gateway-sim [options]\n"
    "A stand-in for the installation's gateway: answers the discovery ping on UDP, accepts one\n"
    "TCP client at a time (a new connection replaces the old), answers version and download\n"
    "requests and prints everything it receives on stdout, one flushed line each.\n"
    "\n"
    "Gateways (each answers every ping with one 40-byte reply):\n"
    "  --name NAME              system name of the default gateway (default GATEWAY)\n"
    "  --kind N                 its kind byte (default 1)\n"
    "  --flags N                its flag byte (default 0)\n"
    "  --gateway NAME[,KIND[,FLAGS[,PORT]]]\n"
    "                           add a gateway (repeatable; replaces the default one). PORT is the\n"
    "                           TCP port it announces (default: the listener's)\n"
    "Discovery:\n"
    "  --discovery-address A    UDP bind address (default 0.0.0.0; SO_REUSEADDR/SO_REUSEPORT,\n"
    "                           so several peers can share the port)\n"
    "  --discovery-port N       UDP port (default: the port of QUILLON_DISCOVERY, else 444;\n"
    "                           0 = ephemeral)\n"
    "  --no-discovery           no UDP socket\n"
    "  --any-source             also answer pings from outside 127.0.0.0/8 (off: such pings\n"
    "                           are printed and ignored)\n"
    "  --reply-bytes N          length of each ping reply datagram (fault when not 40)\n"
    "TCP:\n"
    "  --listen-address A       TCP bind address (default 127.0.0.1)\n"
    "  --port N                 TCP port (default 0 = ephemeral)\n"
    "  --announce-address A     address put into ping replies (default 127.0.0.1)\n"
    "  --announce-port N        port put into ping replies (default: the listener's)\n"
    "  --idle-ms N              send a request-id-0 keep-alive (id 16, empty) after N ms without\n"
    "                           output (default 3000; 0 = never)\n"
    "Answers:\n"
    "  --version TEXT           version text for MSG_VERSION_REQUEST (default 1.0.0.0)\n"
    "  --version-file PATH      read the version text (first line) from PATH at every request;\n"
    "                           falls back to --version when it cannot be read\n"
    "  --version-narrow         send the version as an 8-bit string (default UTF-16)\n"
    "  --file PATH              file served for MSG_DOWNLOAD_REQUEST; opened anew at every\n"
    "                           request\n"
    "  --file-msg-id N          whole-file message id: 8131 (default), 8132 or 8149\n"
    "  --pieces                 always send pieces (8301), even for a small file\n"
    "  --piece-size N           bytes per piece (default 262144)\n"
    "  To announce a new version while running, rewrite the --version-file and the --file\n"
    "  (best by rename); the next request sees them. SIGHUP prints the version now in force.\n"
    "Faults:\n"
    "  --close-after N          close the connection once N bytes were sent on it (0: at accept)\n"
    "  --stall                  accept and read, but never send anything\n"
    "  --garbage N              answer requests with N pseudo-random bytes\n"
    "  --oversized-header[=N]   answer requests with a header declaring N payload bytes\n"
    "                           (default 999992) and a few bytes of it\n"
    "  --wrong-msg-id N         answer requests with message id N\n"
    "  --reply-rid N            answer requests with request id N\n"
    "  --trickle BYTES[/MS]     send at most BYTES bytes every MS ms (default 100)\n"
    "  --changing-total         from the second piece on, announce a total 4 bytes larger\n"
    "  --declared-size N        whole-file reply announces N bytes (the real bytes follow)\n"
    "  --piece-extra N          the last piece carries N bytes beyond the total\n"
    "  --fault-on WHAT          all (default), version or download: which answers the\n"
    "                           garbage/oversized/wrong-id/rid faults replace\n"
    "Other:\n"
    "  --max-seconds N          exit after N seconds (default 600)\n"
    "  --verbose                also print the idle keep-alives sent\n"
    "  --help                   this text\n"
    "\n"
    "Output lines: DISCOVERY addr port | LISTEN addr port (last start-up line) |\n"
    "PING from addr:port replies=N | DATAGRAM from addr:port len=N | ACCEPT addr:port |\n"
    "CONNECT_LINE ok|bad \"..\" | HELLO 706 5 \"build\" 16 <hex> clienttype \"t1\" \"t3\" \"t4\" \"t2\" |\n"
    "KEEPALIVE rid=R len=N | VERSION_REQUEST rid= screen= client= dev= |\n"
    "DOWNLOAD_REQUEST rid= screen= client= c706= dev= | EVENT_REPORT \"text\" |\n"
    "MESSAGE rid= id= len= | VERSION_REPLY rid= text=\"..\" | FILE_WHOLE rid= id= size= |\n"
    "PIECES rid= total= piece= | DOWNLOAD_DONE rid= pieces= bytes= | FAULT what |\n"
    "DISCONNECT reason=R | RELOAD version=\"..\" | EXIT reason=R.\n"
    "Strings print as \"text\" (UTF-16) or n\"text\" (8-bit), with \\xNN / \\uNNNN escapes.\n"
    "SIGTERM/SIGINT end the program, SIGUSR1 drops the current client.\n";

enum OptionId {
    kOptName = 256,
    kOptKind,
    kOptFlags,
    kOptGateway,
    kOptDiscoveryAddress,
    kOptDiscoveryPort,
    kOptNoDiscovery,
    kOptAnySource,
    kOptReplyBytes,
    kOptListenAddress,
    kOptPort,
    kOptAnnounceAddress,
    kOptAnnouncePort,
    kOptIdleMs,
    kOptVersion,
    kOptVersionFile,
    kOptVersionNarrow,
    kOptFile,
    kOptFileMsgId,
    kOptPieces,
    kOptPieceSize,
    kOptCloseAfter,
    kOptStall,
    kOptGarbage,
    kOptOversized,
    kOptWrongMsgId,
    kOptReplyRid,
    kOptTrickle,
    kOptChangingTotal,
    kOptDeclaredSize,
    kOptPieceExtra,
    kOptFaultOn,
    kOptMaxSeconds,
    kOptVerbose,
    kOptHelp,
};

const option kLongOptions[] = {
    {"name", required_argument, nullptr, kOptName},
    {"kind", required_argument, nullptr, kOptKind},
    {"flags", required_argument, nullptr, kOptFlags},
    {"gateway", required_argument, nullptr, kOptGateway},
    {"discovery-address", required_argument, nullptr, kOptDiscoveryAddress},
    {"discovery-port", required_argument, nullptr, kOptDiscoveryPort},
    {"no-discovery", no_argument, nullptr, kOptNoDiscovery},
    {"any-source", no_argument, nullptr, kOptAnySource},
    {"reply-bytes", required_argument, nullptr, kOptReplyBytes},
    {"listen-address", required_argument, nullptr, kOptListenAddress},
    {"port", required_argument, nullptr, kOptPort},
    {"announce-address", required_argument, nullptr, kOptAnnounceAddress},
    {"announce-port", required_argument, nullptr, kOptAnnouncePort},
    {"idle-ms", required_argument, nullptr, kOptIdleMs},
    {"version", required_argument, nullptr, kOptVersion},
    {"version-file", required_argument, nullptr, kOptVersionFile},
    {"version-narrow", no_argument, nullptr, kOptVersionNarrow},
    {"file", required_argument, nullptr, kOptFile},
    {"file-msg-id", required_argument, nullptr, kOptFileMsgId},
    {"pieces", no_argument, nullptr, kOptPieces},
    {"piece-size", required_argument, nullptr, kOptPieceSize},
    {"close-after", required_argument, nullptr, kOptCloseAfter},
    {"stall", no_argument, nullptr, kOptStall},
    {"garbage", required_argument, nullptr, kOptGarbage},
    {"oversized-header", optional_argument, nullptr, kOptOversized},
    {"wrong-msg-id", required_argument, nullptr, kOptWrongMsgId},
    {"reply-rid", required_argument, nullptr, kOptReplyRid},
    {"trickle", required_argument, nullptr, kOptTrickle},
    {"changing-total", no_argument, nullptr, kOptChangingTotal},
    {"declared-size", required_argument, nullptr, kOptDeclaredSize},
    {"piece-extra", required_argument, nullptr, kOptPieceExtra},
    {"fault-on", required_argument, nullptr, kOptFaultOn},
    {"max-seconds", required_argument, nullptr, kOptMaxSeconds},
    {"verbose", no_argument, nullptr, kOptVerbose},
    {"help", no_argument, nullptr, kOptHelp},
    {nullptr, 0, nullptr, 0},
};

// Parses a whole decimal (or 0x hex) number within [0, max].
bool ParseNumber(const char* text, uint64_t max, uint64_t& out) {
    if (text == nullptr || *text == '\0' || *text == '-') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value > max) {
        return false;
    }
    out = value;
    return true;
}

template <typename T>
bool ParseInto(const char* option, const char* text, uint64_t max, T& out) {
    uint64_t value = 0;
    if (!ParseNumber(text, max, value)) {
        std::fprintf(stderr, "gateway-sim: bad value for --%s: '%s'\n", option, text ? text : "");
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

bool ParseGateway(const char* text, SimGateway& gw) {
    std::string entry = text;
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t comma = entry.find(',', start);
        parts.push_back(entry.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    if (parts.size() > 4) {
        std::fprintf(stderr, "gateway-sim: bad --gateway '%s'\n", text);
        return false;
    }
    gw.name = parts[0];
    if (parts.size() > 1 && !ParseInto("gateway kind", parts[1].c_str(), 255, gw.kind)) {
        return false;
    }
    if (parts.size() > 2 && !ParseInto("gateway flags", parts[2].c_str(), 255, gw.flags)) {
        return false;
    }
    if (parts.size() > 3) {
        uint16_t port = 0;
        if (!ParseInto("gateway port", parts[3].c_str(), 65535, port)) {
            return false;
        }
        gw.port = port;
    }
    return true;
}

bool ParseTrickle(const char* text, SimOptions& o) {
    std::string entry = text;
    const size_t slash = entry.find('/');
    if (!ParseInto("trickle", entry.substr(0, slash).c_str(), 0xFFFFFFFFu, o.trickleBytes)) {
        return false;
    }
    if (slash != std::string::npos &&
        !ParseInto("trickle interval", entry.substr(slash + 1).c_str(), 3600000, o.trickleMs)) {
        return false;
    }
    if (o.trickleBytes == 0 || o.trickleMs == 0) {
        std::fprintf(stderr, "gateway-sim: --trickle needs bytes and an interval above 0\n");
        return false;
    }
    return true;
}

// Port of QUILLON_DISCOVERY=ADDR:PORT, or 444.
int DefaultDiscoveryPort() {
    const char* env = std::getenv("QUILLON_DISCOVERY");
    if (env != nullptr) {
        const char* colon = std::strrchr(env, ':');
        uint64_t port = 0;
        if (colon != nullptr && ParseNumber(colon + 1, 65535, port)) {
            return static_cast<int>(port);
        }
    }
    return 444;
}

bool ApplyOption(int id, const char* arg, SimOptions& o, SimGateway& defaultGateway, bool& helpShown) {
    switch (id) {
        case kOptName:
            defaultGateway.name = arg;
            return true;
        case kOptKind:
            return ParseInto("kind", arg, 255, defaultGateway.kind);
        case kOptFlags:
            return ParseInto("flags", arg, 255, defaultGateway.flags);
        case kOptGateway: {
            SimGateway gw;
            if (!ParseGateway(arg, gw)) {
                return false;
            }
            o.gateways.push_back(gw);
            return true;
        }
        case kOptDiscoveryAddress:
            o.discoveryAddress = arg;
            return true;
        case kOptDiscoveryPort:
            return ParseInto("discovery-port", arg, 65535, o.discoveryPort);
        case kOptNoDiscovery:
            o.discoveryEnabled = false;
            return true;
        case kOptAnySource:
            o.anySource = true;
            return true;
        case kOptReplyBytes:
            return ParseInto("reply-bytes", arg, 4096, o.replyBytes);
        case kOptListenAddress:
            o.listenAddress = arg;
            return true;
        case kOptPort:
            return ParseInto("port", arg, 65535, o.listenPort);
        case kOptAnnounceAddress:
            o.announceAddress = arg;
            return true;
        case kOptAnnouncePort: {
            uint16_t port = 0;
            if (!ParseInto("announce-port", arg, 65535, port)) {
                return false;
            }
            o.announcePort = port;
            return true;
        }
        case kOptIdleMs:
            return ParseInto("idle-ms", arg, 3600000, o.idleMs);
        case kOptVersion:
            o.versionText = arg;
            return true;
        case kOptVersionFile:
            o.versionFile = arg;
            return true;
        case kOptVersionNarrow:
            o.versionNarrow = true;
            return true;
        case kOptFile:
            o.servedFile = arg;
            return true;
        case kOptFileMsgId:
            return ParseInto("file-msg-id", arg, 65535, o.fileMsgId);
        case kOptPieces:
            o.forcePieces = true;
            return true;
        case kOptPieceSize:
            if (!ParseInto("piece-size", arg, 0x7FFFFFFF, o.pieceSize)) {
                return false;
            }
            if (o.pieceSize == 0) {
                std::fprintf(stderr, "gateway-sim: --piece-size must be above 0\n");
                return false;
            }
            return true;
        case kOptCloseAfter: {
            uint64_t n = 0;
            if (!ParseInto("close-after", arg, UINT64_MAX, n)) {
                return false;
            }
            o.closeAfter = n;
            return true;
        }
        case kOptStall:
            o.stall = true;
            return true;
        case kOptGarbage:
            return ParseInto("garbage", arg, 100000000, o.garbageBytes);
        case kOptOversized: {
            uint32_t n = 999992;
            if (arg != nullptr && !ParseInto("oversized-header", arg, 0xFFFFFFFFu, n)) {
                return false;
            }
            o.oversizedLength = n;
            return true;
        }
        case kOptWrongMsgId: {
            uint16_t id16 = 0;
            if (!ParseInto("wrong-msg-id", arg, 65535, id16)) {
                return false;
            }
            o.wrongMsgId = id16;
            return true;
        }
        case kOptReplyRid: {
            uint16_t rid = 0;
            if (!ParseInto("reply-rid", arg, 65535, rid)) {
                return false;
            }
            o.replyRequestId = rid;
            return true;
        }
        case kOptTrickle:
            return ParseTrickle(arg, o);
        case kOptChangingTotal:
            o.changingTotal = true;
            return true;
        case kOptDeclaredSize: {
            uint32_t n = 0;
            if (!ParseInto("declared-size", arg, 0xFFFFFFFFu, n)) {
                return false;
            }
            o.declaredSize = n;
            return true;
        }
        case kOptPieceExtra:
            return ParseInto("piece-extra", arg, 100000000, o.pieceExtra);
        case kOptFaultOn:
            if (std::strcmp(arg, "all") == 0) {
                o.faultTarget = FaultTarget::kAll;
            } else if (std::strcmp(arg, "version") == 0) {
                o.faultTarget = FaultTarget::kVersion;
            } else if (std::strcmp(arg, "download") == 0) {
                o.faultTarget = FaultTarget::kDownload;
            } else {
                std::fprintf(stderr, "gateway-sim: --fault-on takes all, version or download\n");
                return false;
            }
            return true;
        case kOptMaxSeconds:
            return ParseInto("max-seconds", arg, 86400, o.maxSeconds);
        case kOptVerbose:
            o.verbose = true;
            return true;
        case kOptHelp:
            std::fputs(kHelp, stdout);
            helpShown = true;
            return false;
        default:
            return false;
    }
}

}  // namespace

const char* SimHelpText() {
    return kHelp;
}

std::optional<SimOptions> ParseSimOptions(int argc, char** argv, bool& helpShown) {
    helpShown = false;
    SimOptions o;
    SimGateway defaultGateway;
    defaultGateway.name = "GATEWAY";
    optind = 1;
    opterr = 1;
    int id = 0;
    while ((id = getopt_long(argc, argv, "h", kLongOptions, nullptr)) != -1) {
        if (id == 'h') {
            id = kOptHelp;
        }
        if (id == '?' || !ApplyOption(id, optarg, o, defaultGateway, helpShown)) {
            if (!helpShown) {
                std::fprintf(stderr, "gateway-sim: see --help\n");
            }
            return std::nullopt;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "gateway-sim: unexpected argument '%s' (see --help)\n", argv[optind]);
        return std::nullopt;
    }
    if (o.gateways.empty()) {
        o.gateways.push_back(defaultGateway);
    }
    if (o.discoveryPort < 0) {
        o.discoveryPort = DefaultDiscoveryPort();
    }
    return o;
}
