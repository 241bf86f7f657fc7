// Download throughput: a large file fetched in pieces from the gateway peer over loopback
// through BmServer + Downloader, against the same bytes copied over a plain loopback TCP
// connection in the same run; prints both rates, their ratio and this process's peak memory.
//
//   bench_download [--size-mb N] [--piece-size BYTES] [--rounds N]
// Each round runs both transfers; the best time of each is reported (the machine is shared).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/downloader.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "tests/support/env_guard.h"
#include "tests/support/files.h"
#include "tests/support/peer_process.h"
#include "tests/support/proc_info.h"
#include "tests/support/scratch_dir.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr size_t kChunk = 1 << 20;

double SecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// A kB figure of this process ("VmHWM", "VmRSS"), or -1.
long StatusKb(const char* field) {
    return ProcStatusField(getpid(), field);
}

bool WriteSource(const std::string& path, uint64_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    std::vector<uint64_t> chunk(kChunk / 8);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    bool ok = true;
    for (uint64_t left = size; left > 0 && ok;) {
        for (uint64_t& word : chunk) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            word = x;
        }
        const size_t n = left < kChunk ? static_cast<size_t>(left) : kChunk;
        ok = write(fd, chunk.data(), n) == static_cast<ssize_t>(n);
        left -= n;
    }
    return close(fd) == 0 && ok;
}

// The same bytes over a plain loopback TCP connection: a sender thread reads the file and
// sends it, this thread receives and writes it. Returns seconds, or a negative value.
double PlainCopy(const std::string& source, const std::string& dest) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return -1;
    }
    const auto start = SteadyClock::now();
    std::thread sender([&] {
        const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
        std::vector<char> buf(kChunk);
        ssize_t n = 0;
        while (conn >= 0 && in >= 0 && (n = read(in, buf.data(), buf.size())) > 0) {
            for (ssize_t off = 0; off < n;) {
                const ssize_t sent = send(conn, buf.data() + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
                if (sent <= 0) {
                    n = -1;
                    break;
                }
                off += sent;
            }
        }
        close(in);
        close(conn);
    });
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int out = open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && out >= 0;
    std::vector<char> buf(kChunk);
    for (ssize_t n; ok && (n = recv(s, buf.data(), buf.size(), 0)) > 0;) {
        ok = write(out, buf.data(), static_cast<size_t>(n)) == n;
    }
    ok = close(out) == 0 && ok;
    const double seconds = SecondsSince(start);
    close(s);
    sender.join();
    close(listener);
    return ok ? seconds : -1;
}

struct DownloadResult {
    bool ok = false;
    double seconds = 0;
    double tailSeconds = 0;  // from the report before the last piece to the end (the file write)
};

// Notes when the last progress report came.
class LastReport : public DownloadProgress {
public:
    void OnProgress(int32_t received, int32_t total) override {
        (void)received, (void)total;
        at = SteadyClock::now();
    }
    SteadyClock::time_point at = SteadyClock::now();
};

DownloadResult GatewayDownload(const std::string& source, const std::string& dest, uint32_t pieceSize) {
    DownloadResult result;
    const int discoveryPort = FreeUdpPort();
    EnvGuard target("QUILLON_DISCOVERY", "127.255.255.255:" + std::to_string(discoveryPort));
    PeerProcess peer;
    if (!peer.Start(GATEWAY_SIM_BIN, {"--discovery-port", std::to_string(discoveryPort), "--file", source,
                                      "--piece-size", std::to_string(pieceSize), "--max-seconds", "300"}) ||
        peer.ListenPort() <= 0) {
        std::fprintf(stderr, "bench_download: the gateway peer did not start (%s)\n", GATEWAY_SIM_BIN);
        return result;
    }
    BmServer client;
    client.Start();
    for (int i = 0; i < 300 && !client.IsConnected(); ++i) {
        client.Poll(nullptr, REQUEST_ID_ALL, 10);
    }
    if (!client.IsConnected()) {
        std::fprintf(stderr, "bench_download: no connection to the gateway peer\n");
        return result;
    }
    LastReport report;
    Downloader downloader(client, &report, BmString(dest.c_str()));
    BmMsg request(downloader.ListenerId(), MSG_DOWNLOAD_REQUEST);
    for (int32_t item : {1, kClientTypeDefault, 706, 0}) {
        request.AppendInt32(item);
    }
    const auto start = SteadyClock::now();
    result.ok = downloader.Run(&request);
    result.seconds = SecondsSince(start);
    result.tailSeconds = SecondsSince(report.at);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t sizeMb = 256;
    uint32_t pieceSize = 262144;  // the gateway peer's default
    int rounds = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--size-mb" && i + 1 < argc) {
            sizeMb = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--piece-size" && i + 1 < argc) {
            pieceSize = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench_download [--size-mb N] [--piece-size BYTES] [--rounds N]\n");
            return 2;
        }
    }
    const uint64_t size = sizeMb << 20;
    ScratchDir dir;
    const std::string source = dir.File("source.bin");
    const std::string viaGateway = dir.File("via-gateway.bin");
    const std::string viaTcp = dir.File("via-tcp.bin");
    if (dir.Path().empty() || !WriteSource(source, size)) {
        std::fprintf(stderr, "bench_download: cannot write the source file\n");
        return 1;
    }
    const long baselineKb = StatusKb("VmHWM");

    double gatewaySeconds = 0;
    double plainSeconds = 0;
    double tailSeconds = 0;
    long peakKb = 0;
    for (int round = 0; round < rounds; ++round) {
        const DownloadResult download = GatewayDownload(source, viaGateway, pieceSize);
        if (round == 0) {
            peakKb = StatusKb("VmHWM");  // the plain copy below needs only a few MB more
        }
        const double plain = PlainCopy(source, viaTcp);
        if (!download.ok || plain <= 0) {
            std::fprintf(stderr, "bench_download: %s failed\n",
                         download.ok ? "the plain copy" : "the download");
            return 1;
        }
        if (round == 0 || download.seconds < gatewaySeconds) {
            gatewaySeconds = download.seconds;
            tailSeconds = download.tailSeconds;
        }
        plainSeconds = round == 0 ? plain : std::min(plainSeconds, plain);
    }
    const bool identical = SameFileContents(source, viaGateway) && SameFileContents(source, viaTcp);
    const double mb = static_cast<double>(size) / (1 << 20);
    const double gatewayRate = mb / gatewaySeconds;
    const double plainRate = mb / plainSeconds;
    std::printf("file            %.0f MB, pieces of %u bytes, best of %d rounds\n", mb, pieceSize, rounds);
    std::printf(
        "gateway        %8.1f MB/s  (%.3f s, BmServer + Downloader, written to disk;\n"
        "                             %.3f s of it after the last piece began: the file write)\n",
        gatewayRate, gatewaySeconds, tailSeconds);
    std::printf("plain tcp      %8.1f MB/s  (%.3f s, 1 MB reads, written to disk)\n", plainRate,
                plainSeconds);
    std::printf("ratio           %.2f  (goal >= 0.50)\n", gatewayRate / plainRate);
    std::printf("peak memory     %.1f MB VmHWM after the download (%.1f MB before it; goal <= %.0f MB)\n",
                peakKb / 1024.0, baselineKb / 1024.0, mb + 8);
    std::printf("peak memory     %.1f MB VmHWM at the end\n", StatusKb("VmHWM") / 1024.0);
    std::printf("contents        %s\n", identical ? "identical" : "DIFFERENT");
    return identical ? 0 : 1;
}
