#include "TOOLS/gateway-sim/simpeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

#include "TOOLS/gateway-sim/simwire.h"

namespace {

volatile sig_atomic_t gStopSignal = 0;
volatile sig_atomic_t gReloadRequested = 0;
volatile sig_atomic_t gDropRequested = 0;

// Pieces are produced only while less than this is waiting to go out, so a large file never
// sits in memory as a whole.
constexpr uint64_t kOutputHighWater = 4u << 20;
constexpr size_t kReadChunk = 65536;
constexpr size_t kMaxSendChunk = 1u << 20;
constexpr uint32_t kOversizedSample = 64;

void OnSignal(int sig) {
    if (sig == SIGHUP) {
        gReloadRequested = 1;
    } else if (sig == SIGUSR1) {
        gDropRequested = 1;
    } else {
        gStopSignal = sig;
    }
}

uint64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// One output line, flushed at once so that a test reading the pipe sees it immediately.
void Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Endpoint(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

bool ParseIPv4(const std::string& text, in_addr& out) {
    return inet_pton(AF_INET, text.c_str(), &out) == 1;
}

// Reads `size` bytes at `offset`; what the file no longer holds is filled with zeros.
bool ReadAt(int fd, uint64_t offset, char* dest, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(fd, dest + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            std::memset(dest + done, 0, size - done);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string FieldsOrMalformed(bool ok, const std::string& fields, uint32_t length) {
    return ok ? fields : fields + " malformed len=" + std::to_string(length);
}

}  // namespace

GatewayPeer::GatewayPeer(SimOptions options) : options_(std::move(options)) {}

GatewayPeer::~GatewayPeer() {
    if (client_.fd >= 0) {
        DropClient("exit");
    }
    if (udpFd_ >= 0) {
        close(udpFd_);
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
}

bool GatewayPeer::Open() {
    in_addr announce{};
    if (!ParseIPv4(options_.announceAddress, announce)) {
        std::fprintf(stderr, "gateway-sim: bad --announce-address '%s'\n", options_.announceAddress.c_str());
        return false;
    }
    announceAddress_ = announce.s_addr;
    if (!OpenListener()) {
        return false;
    }
    if (options_.discoveryEnabled && !OpenDiscovery()) {
        return false;
    }
    Line("LISTEN %s %u", options_.listenAddress.c_str(), listenPort_);
    return true;
}

bool GatewayPeer::OpenDiscovery() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(options_.discoveryPort));
    if (!ParseIPv4(options_.discoveryAddress, addr.sin_addr)) {
        std::fprintf(stderr, "gateway-sim: bad --discovery-address '%s'\n",
                     options_.discoveryAddress.c_str());
        return false;
    }
    udpFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    if (udpFd_ < 0 || setsockopt(udpFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        setsockopt(udpFd_, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0 ||
        bind(udpFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "gateway-sim: cannot bind UDP %s:%d: %s\n", options_.discoveryAddress.c_str(),
                     options_.discoveryPort, std::strerror(errno));
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(udpFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    Line("DISCOVERY %s %u", options_.discoveryAddress.c_str(), ntohs(addr.sin_port));
    return true;
}

bool GatewayPeer::OpenListener() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.listenPort);
    if (!ParseIPv4(options_.listenAddress, addr.sin_addr)) {
        std::fprintf(stderr, "gateway-sim: bad --listen-address '%s'\n", options_.listenAddress.c_str());
        return false;
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    if (listenFd_ < 0 || setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 8) != 0) {
        std::fprintf(stderr, "gateway-sim: cannot listen on TCP %s:%u: %s\n", options_.listenAddress.c_str(),
                     options_.listenPort, std::strerror(errno));
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    listenPort_ = ntohs(addr.sin_port);
    return true;
}

int GatewayPeer::Run() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
        sigaction(sig, &sa, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    // Signals are only taken inside ppoll, so a flag set just before the wait is never missed.
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
        sigaddset(&blocked, sig);
    }
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
        sigdelset(&waitMask, sig);
    }

    const uint64_t deadline = NowMs() + static_cast<uint64_t>(options_.maxSeconds) * 1000u;
    for (;;) {
        HandleSignals();
        if (gStopSignal != 0) {
            Line("EXIT reason=signal-%d", static_cast<int>(gStopSignal));
            return 0;
        }
        uint64_t now = NowMs();
        if (now >= deadline) {
            Line("EXIT reason=max-seconds");
            return 0;
        }
        QueueIdleTraffic(now);
        FlushOutput(now);

        pollfd fds[3];
        nfds_t count = 0;
        int udpIndex = -1, listenIndex = -1, clientIndex = -1;
        if (udpFd_ >= 0) {
            udpIndex = static_cast<int>(count);
            fds[count++] = pollfd{udpFd_, POLLIN, 0};
        }
        listenIndex = static_cast<int>(count);
        fds[count++] = pollfd{listenFd_, POLLIN, 0};
        if (client_.fd >= 0) {
            clientIndex = static_cast<int>(count);
            fds[count++] = pollfd{client_.fd, static_cast<short>(POLLIN | (WantsWrite() ? POLLOUT : 0)), 0};
        }
        const int timeoutMs = PollTimeoutMs(now, deadline);
        const timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
        const int ready = ppoll(fds, count, &timeout, &waitMask);
        if (ready <= 0) {
            continue;
        }
        if (udpIndex >= 0 && (fds[udpIndex].revents & POLLIN)) {
            OnDatagram();
        }
        if (clientIndex >= 0 && client_.fd >= 0 &&
            (fds[clientIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
            OnClientReadable();
        }
        if (fds[listenIndex].revents & POLLIN) {
            OnAccept();
        }
    }
}

void GatewayPeer::HandleSignals() {
    if (gReloadRequested != 0) {
        gReloadRequested = 0;
        Line("RELOAD version=%s", simwire::QuoteBytes(CurrentVersion()).c_str());
    }
    if (gDropRequested != 0) {
        gDropRequested = 0;
        if (client_.fd >= 0) {
            DropClient("sigusr1");
        }
    }
}

bool GatewayPeer::WantsWrite() const {
    if (client_.output.empty()) {
        return false;
    }
    return options_.trickleBytes == 0 || client_.trickleAllowance > 0;
}

int GatewayPeer::PollTimeoutMs(uint64_t now, uint64_t deadline) const {
    uint64_t wake = std::min(deadline, now + 1000);
    if (client_.fd >= 0 && options_.idleMs > 0 && !options_.stall) {
        wake = std::min(wake, client_.lastSendMs + options_.idleMs);
    }
    if (client_.fd >= 0 && options_.trickleBytes > 0 && !client_.output.empty()) {
        wake = std::min(wake, client_.nextTrickleMs);
    }
    return wake > now ? static_cast<int>(wake - now) : 0;
}

void GatewayPeer::OnDatagram() {
    unsigned char buf[4096];
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = recvfrom(udpFd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0 || fromLen < sizeof from || from.sin_family != AF_INET) {
        return;
    }
    static const unsigned char kPing[simwire::kPingBytes] = {1, 0, 0, 0, 0, 0, 0, 0};
    if (static_cast<size_t>(n) != simwire::kPingBytes || std::memcmp(buf, kPing, sizeof kPing) != 0) {
        Line("DATAGRAM from %s len=%zd", Endpoint(from).c_str(), n);
        return;
    }
    const bool loopback = (ntohl(from.sin_addr.s_addr) >> 24) == 127;
    if (!loopback && !options_.anySource) {
        Line("PING_IGNORED from %s", Endpoint(from).c_str());
        return;
    }
    AnswerPing(from);
}

void GatewayPeer::AnswerPing(const sockaddr_in& from) {
    int sent = 0;
    for (const SimGateway& gw : options_.gateways) {
        const uint16_t port =
            gw.port ? *gw.port : (options_.announcePort ? *options_.announcePort : listenPort_);
        std::string reply = simwire::PingReply(announceAddress_, port, gw.kind, gw.flags, gw.name);
        reply.resize(options_.replyBytes, '\0');
        if (sendto(udpFd_, reply.data(), reply.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&from),
                   sizeof from) == static_cast<ssize_t>(reply.size())) {
            ++sent;
        }
    }
    Line("PING from %s replies=%d", Endpoint(from).c_str(), sent);
}

void GatewayPeer::OnAccept() {
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const int fd =
        accept4(listenFd_, reinterpret_cast<sockaddr*>(&from), &fromLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (client_.fd >= 0) {
        DropClient("replaced");
    }
    client_ = Client{};
    client_.fd = fd;
    client_.lastSendMs = NowMs();
    client_.nextTrickleMs = client_.lastSendMs;
    Line("ACCEPT %s", Endpoint(from).c_str());
    if (options_.closeAfter && *options_.closeAfter == 0) {
        Line("FAULT close-after bytes=0");
        DropClient("close-after");
    }
}

void GatewayPeer::OnClientReadable() {
    char buf[kReadChunk];
    const ssize_t n = recv(client_.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) {
        DropClient("peer-closed");
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            DropClient("recv-error");
        }
        return;
    }
    client_.input.append(buf, static_cast<size_t>(n));
    if (!ProcessInput()) {
        return;
    }
}

bool GatewayPeer::ProcessInput() {
    std::string& in = client_.input;
    if (!client_.connectLineSeen) {
        if (in.size() < simwire::kConnectLineBytes) {
            return true;
        }
        const std::string line = in.substr(0, simwire::kConnectLineBytes);
        if (line != simwire::kConnectLine) {
            Line("CONNECT_LINE bad %s", simwire::QuoteBytes(line).c_str());
            DropClient("bad-connect-line");
            return false;
        }
        Line("CONNECT_LINE ok");
        client_.connectLineSeen = true;
        in.erase(0, simwire::kConnectLineBytes);
    }
    size_t pos = 0;
    while (client_.fd >= 0 && in.size() - pos >= simwire::kHeaderBytes) {
        const auto* p = reinterpret_cast<const unsigned char*>(in.data() + pos);
        const simwire::Header h = simwire::DecodeHeader(p);
        if (h.length >= simwire::kClientMessageLimit) {
            Line("BAD_HEADER rid=%u id=%u len=%u", h.requestId, h.msgId, h.length);
            DropClient("oversized");
            return false;
        }
        if (in.size() - pos < simwire::kHeaderBytes + h.length) {
            break;
        }
        HandleMessage(h.requestId, h.msgId, p + simwire::kHeaderBytes, h.length);
        pos += simwire::kHeaderBytes + h.length;
    }
    if (client_.fd >= 0) {
        in.erase(0, pos);
    }
    return client_.fd >= 0;
}

void GatewayPeer::HandleMessage(uint16_t requestId, uint16_t msgId, const unsigned char* payload,
                                uint32_t length) {
    switch (msgId) {
        case simwire::kMsgHello:
            HandleHello(payload, length);
            break;
        case simwire::kMsgKeepAlive:
            Line("KEEPALIVE rid=%u len=%u", requestId, length);
            break;
        case simwire::kMsgVersionRequest:
            HandleVersionRequest(requestId, payload, length);
            break;
        case simwire::kMsgDownloadRequest:
            HandleDownloadRequest(requestId, payload, length);
            break;
        case simwire::kMsgEventReport:
            HandleEventReport(payload, length);
            break;
        default:
            Line("MESSAGE rid=%u id=%u len=%u", requestId, msgId, length);
            break;
    }
}

void GatewayPeer::HandleHello(const unsigned char* payload, uint32_t length) {
    simwire::PayloadReader r(payload, length);
    uint32_t a = 0, b = 0, blockLen = 0, clientType = 0;
    simwire::StringItem build, t1, t3, t4, t2;
    std::string block;
    const bool ok = r.Int32(a) && r.Int32(b) && r.String(build) && r.Int32(blockLen) &&
                    blockLen <= r.Remaining() && r.Bytes(blockLen, block) && r.Int32(clientType) &&
                    r.String(t1) && r.String(t3) && r.String(t4) && r.String(t2);
    if (!ok) {
        std::string raw(reinterpret_cast<const char*>(payload), std::min<uint32_t>(length, 256));
        Line("HELLO_MALFORMED len=%u %s", length, simwire::HexBytes(raw).c_str());
        return;
    }
    Line("HELLO %u %u %s %u %s %u %s %s %s %s", a, b, simwire::QuoteItem(build).c_str(), blockLen,
         simwire::HexBytes(block).c_str(), clientType, simwire::QuoteItem(t1).c_str(),
         simwire::QuoteItem(t3).c_str(), simwire::QuoteItem(t4).c_str(), simwire::QuoteItem(t2).c_str());
}

void GatewayPeer::HandleEventReport(const unsigned char* payload, uint32_t length) {
    simwire::PayloadReader r(payload, length);
    simwire::StringItem text;
    if (!r.String(text)) {
        Line("EVENT_REPORT_MALFORMED len=%u", length);
        return;
    }
    Line("EVENT_REPORT %s", simwire::QuoteItem(text).c_str());
}

void GatewayPeer::HandleVersionRequest(uint16_t requestId, const unsigned char* payload, uint32_t length) {
    simwire::PayloadReader r(payload, length);
    uint32_t screen = 0, clientType = 0, dev = 0;
    const bool ok = r.Int32(screen) && r.Int32(clientType) && r.Int32(dev);
    const std::string fields = "VERSION_REQUEST rid=" + std::to_string(requestId) +
                               " screen=" + std::to_string(screen) + " client=" + std::to_string(clientType) +
                               " dev=" + std::to_string(dev);
    Line("%s", FieldsOrMalformed(ok, fields, length).c_str());
    if (options_.stall || SendFaultReply(requestId, simwire::kMsgVersionReply, false)) {
        return;
    }
    const std::string text = CurrentVersion();
    simwire::PayloadWriter w;
    if (options_.versionNarrow) {
        w.NarrowString(text);
    } else {
        w.WideString(text);
    }
    const uint16_t rid = ReplyRequestId(requestId, false);
    const uint16_t id = ReplyMsgId(simwire::kMsgVersionReply, false);
    Queue(w.Message(rid, id));
    Line("VERSION_REPLY rid=%u id=%u text=%s", rid, id, simwire::QuoteBytes(text).c_str());
}

void GatewayPeer::HandleDownloadRequest(uint16_t requestId, const unsigned char* payload, uint32_t length) {
    simwire::PayloadReader r(payload, length);
    uint32_t screen = 0, clientType = 0, c706 = 0, dev = 0;
    const bool ok = r.Int32(screen) && r.Int32(clientType) && r.Int32(c706) && r.Int32(dev);
    const std::string fields = "DOWNLOAD_REQUEST rid=" + std::to_string(requestId) +
                               " screen=" + std::to_string(screen) + " client=" + std::to_string(clientType) +
                               " c706=" + std::to_string(c706) + " dev=" + std::to_string(dev);
    Line("%s", FieldsOrMalformed(ok, fields, length).c_str());
    if (options_.stall || SendFaultReply(requestId, options_.fileMsgId, true)) {
        return;
    }
    if (options_.servedFile.empty()) {
        Line("DOWNLOAD_UNAVAILABLE rid=%u reason=no-file", requestId);
        return;
    }
    const int fd = open(options_.servedFile.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 0x7FFFFFF0) {
        Line("DOWNLOAD_UNAVAILABLE rid=%u reason=%s", requestId, fd < 0 ? "cannot-open" : "not-servable");
        if (fd >= 0) {
            close(fd);
        }
        return;
    }
    const auto size = static_cast<uint32_t>(st.st_size);
    const uint64_t wholeBytes = uint64_t{simwire::kHeaderBytes} + 4 + simwire::RoundUp4(size);
    if (!options_.forcePieces && wholeBytes < simwire::kClientMessageLimit) {
        ServeWholeFile(requestId, fd, size);
        close(fd);
    } else {
        StartPieces(requestId, fd, size);
    }
}

bool GatewayPeer::FaultApplies(bool download) const {
    switch (options_.faultTarget) {
        case FaultTarget::kAll:
            return true;
        case FaultTarget::kVersion:
            return !download;
        case FaultTarget::kDownload:
            return download;
    }
    return true;
}

uint16_t GatewayPeer::ReplyRequestId(uint16_t requestId, bool download) const {
    return options_.replyRequestId && FaultApplies(download) ? *options_.replyRequestId : requestId;
}

uint16_t GatewayPeer::ReplyMsgId(uint16_t msgId, bool download) const {
    return options_.wrongMsgId && FaultApplies(download) ? *options_.wrongMsgId : msgId;
}

bool GatewayPeer::SendFaultReply(uint16_t requestId, uint16_t msgId, bool download) {
    if (!FaultApplies(download)) {
        return false;
    }
    if (options_.garbageBytes > 0) {
        std::string bytes(options_.garbageBytes, '\0');
        for (char& c : bytes) {  // xorshift32: the same bytes on every run
            garbageSeed_ ^= garbageSeed_ << 13;
            garbageSeed_ ^= garbageSeed_ >> 17;
            garbageSeed_ ^= garbageSeed_ << 5;
            c = static_cast<char>(garbageSeed_ & 0xFF);
        }
        Queue(std::move(bytes));
        Line("FAULT garbage bytes=%u", options_.garbageBytes);
        return true;
    }
    if (options_.oversizedLength) {
        std::string bytes = simwire::EncodeHeader(ReplyRequestId(requestId, download),
                                                  ReplyMsgId(msgId, download), *options_.oversizedLength);
        bytes.append(std::min(kOversizedSample, *options_.oversizedLength), '\0');
        Queue(std::move(bytes));
        Line("FAULT oversized-header len=%u", *options_.oversizedLength);
        return true;
    }
    return false;
}

std::string GatewayPeer::CurrentVersion() const {
    if (options_.versionFile.empty()) {
        return options_.versionText;
    }
    std::ifstream in(options_.versionFile, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return options_.versionText;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    return line;
}

void GatewayPeer::ServeWholeFile(uint16_t requestId, int fd, uint32_t size) {
    std::string data(size, '\0');
    if (!ReadAt(fd, 0, data.data(), size)) {
        Line("FILE_SHORT_READ rid=%u", requestId);
    }
    simwire::PayloadWriter w;
    w.Int32(options_.declaredSize ? *options_.declaredSize : size);
    w.Bytes(data.data(), data.size());
    const uint16_t rid = ReplyRequestId(requestId, true);
    const uint16_t id = ReplyMsgId(options_.fileMsgId, true);
    Queue(w.Message(rid, id));
    Line("FILE_WHOLE rid=%u id=%u size=%u", rid, id, size);
}

void GatewayPeer::StartPieces(uint16_t requestId, int fd, uint32_t size) {
    EndJob();
    PieceJob& job = client_.job;
    job.active = true;
    job.fd = fd;
    job.requestId = ReplyRequestId(requestId, true);
    job.msgId = ReplyMsgId(simwire::kMsgFilePiece, true);
    job.total = size;
    Line("PIECES rid=%u id=%u total=%u piece=%u", job.requestId, job.msgId, size, options_.pieceSize);
    RefillPieces();
}

void GatewayPeer::RefillPieces() {
    while (client_.job.active && client_.queuedBytes < kOutputHighWater) {
        Queue(NextPiece());
    }
}

std::string GatewayPeer::NextPiece() {
    PieceJob& job = client_.job;
    const uint64_t remaining = job.total - job.offset;
    const bool last = remaining <= options_.pieceSize;
    const uint32_t fileBytes = static_cast<uint32_t>(last ? remaining : options_.pieceSize);
    const uint32_t n = fileBytes + (last ? options_.pieceExtra : 0);
    // Built in place (header, total, length, bytes, padding): a large file is sent as fast as
    // the client takes it, without extra copies.
    const uint32_t padded = simwire::RoundUp4(n);
    std::string message = simwire::EncodeHeader(job.requestId, job.msgId, 8 + padded);
    simwire::PutU32(message, options_.changingTotal && job.pieces > 0 ? job.total + 4 : job.total);
    simwire::PutU32(message, n);
    const size_t dataAt = message.size();
    message.resize(dataAt + padded, '\0');
    std::memset(&message[dataAt + fileBytes], 0xEE, n - fileBytes);
    if (!ReadAt(job.fd, job.offset, &message[dataAt], fileBytes)) {
        Line("FILE_SHORT_READ rid=%u offset=%llu", job.requestId,
             static_cast<unsigned long long>(job.offset));
    }
    job.offset += fileBytes;
    ++job.pieces;
    if (last) {
        Line("DOWNLOAD_DONE rid=%u pieces=%u bytes=%u", job.requestId, job.pieces, job.total);
        EndJob();
    }
    return message;
}

void GatewayPeer::EndJob() {
    if (client_.job.fd >= 0) {
        close(client_.job.fd);
    }
    client_.job = PieceJob{};
}

void GatewayPeer::Queue(std::string bytes) {
    if (client_.fd < 0 || bytes.empty()) {
        return;
    }
    client_.queuedBytes += bytes.size();
    client_.output.push_back(std::move(bytes));
}

void GatewayPeer::QueueIdleTraffic(uint64_t now) {
    if (client_.fd < 0 || options_.idleMs == 0 || options_.stall || !client_.output.empty() ||
        now < client_.lastSendMs + options_.idleMs) {
        return;
    }
    Queue(simwire::EncodeHeader(0, simwire::kMsgKeepAlive, 0));
    if (options_.verbose) {
        Line("IDLE_SENT");
    }
}

size_t GatewayPeer::SendLimit(size_t want) const {
    size_t limit = std::min(want, kMaxSendChunk);
    if (options_.trickleBytes > 0) {
        limit = std::min<size_t>(limit, client_.trickleAllowance);
    }
    if (options_.closeAfter) {
        const uint64_t left =
            *options_.closeAfter > client_.bytesSent ? *options_.closeAfter - client_.bytesSent : 0;
        limit = static_cast<size_t>(std::min<uint64_t>(limit, left));
    }
    return limit;
}

void GatewayPeer::FlushOutput(uint64_t now) {
    if (client_.fd < 0) {
        return;
    }
    if (options_.trickleBytes > 0 && now >= client_.nextTrickleMs) {
        client_.trickleAllowance = options_.trickleBytes;
        client_.nextTrickleMs = now + options_.trickleMs;
    }
    RefillPieces();
    while (client_.fd >= 0 && !client_.output.empty()) {
        const std::string& front = client_.output.front();
        const size_t limit = SendLimit(front.size() - client_.frontSent);
        if (limit == 0) {
            break;
        }
        const ssize_t n =
            send(client_.fd, front.data() + client_.frontSent, limit, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                DropClient("send-error");
            }
            return;
        }
        const auto sent = static_cast<size_t>(n);
        client_.bytesSent += sent;
        client_.queuedBytes -= sent;
        client_.lastSendMs = now;
        if (options_.trickleBytes > 0) {
            client_.trickleAllowance -= static_cast<uint32_t>(sent);
        }
        client_.frontSent += sent;
        if (client_.frontSent == front.size()) {
            client_.output.pop_front();
            client_.frontSent = 0;
            RefillPieces();
        }
        if (options_.closeAfter && client_.bytesSent >= *options_.closeAfter) {
            Line("FAULT close-after bytes=%llu", static_cast<unsigned long long>(client_.bytesSent));
            DropClient("close-after");
            return;
        }
    }
}

void GatewayPeer::DropClient(const char* reason) {
    EndJob();
    close(client_.fd);
    client_ = Client{};
    Line("DISCONNECT reason=%s", reason);
}
