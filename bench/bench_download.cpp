// Download throughput: a large file fetched in pieces from the gateway peer over loopback
// through BmServer + Downloader, against the same bytes copied over a plain loopback TCP
// connection and written to disk in the same run; then this process's peak memory while it
// downloads files of 256 MB and 512 MB; then the install of a signed file of the same size
// (download, sync, rename) with and without the check of its appended signature (its hash taken
// while the file is written, as the launcher does), and the peak memory of a download with the
// check. Prints one table with the goal of each figure.
//
//   bench_download [--size-mb N] [--piece-size BYTES] [--rounds N] [--peak-mb N,N,...]
// Each round runs both transfers; the best time of each is reported (the machine is shared).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/downloader.h"
#include "COMMON/BM_SIGN/signaturecheck.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "bench/bench_table.h"
#include "tests/support/env_guard.h"
#include "tests/support/files.h"
#include "tests/support/minisign_kit.h"
#include "tests/support/peer_process.h"
#include "tests/support/proc_info.h"
#include "tests/support/scratch_dir.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr size_t kChunk = 1 << 20;
constexpr double kRatioGoal = 0.7;
constexpr double kPeakGoalMb = 16;
constexpr double kCheckCostGoal = 0.15;  // the signature check adds at most this share to an install

double SecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// A kB figure of this process ("VmHWM", "VmRSS"), or -1.
long StatusKb(const char* field) {
    return ProcStatusField(getpid(), field);
}

// Starts a new peak: VmHWM falls back to the present resident size.
bool ResetPeak() {
    const int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && write(fd, "5", 1) == 1;
    if (fd >= 0) {
        close(fd);
    }
    return ok;
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

// Notes when the last progress report came; feeds the written bytes to `hasher` when there is
// one, as the launcher does with checking on.
class LastReport : public DownloadProgress {
public:
    LastReport(PayloadHasher* hasher, std::string dest) : hasher_(hasher), dest_(std::move(dest)) {}
    void OnProgress(int32_t received, int32_t total) override {
        (void)received, (void)total;
        at = SteadyClock::now();
    }
    void OnDestinationReset() override {
        if (hasher_ != nullptr) {
            hasher_->ResetFromFile(dest_);
        }
    }
    void OnBytesWritten(const uint8_t* data, size_t size) override {
        if (hasher_ != nullptr) {
            hasher_->Update(data, size);
        }
    }
    SteadyClock::time_point at = SteadyClock::now();

private:
    PayloadHasher* hasher_;
    std::string dest_;
};

DownloadResult GatewayDownload(const std::string& source, const std::string& dest, uint32_t pieceSize,
                               const std::vector<std::string>& peerOptions = {},
                               PayloadHasher* hasher = nullptr) {
    DownloadResult result;
    const int discoveryPort = FreeUdpPort();
    EnvGuard target("QUILLON_DISCOVERY", "127.255.255.255:" + std::to_string(discoveryPort));
    PeerProcess peer;
    std::vector<std::string> args = {
        "--discovery-port", std::to_string(discoveryPort), "--file",        source,
        "--piece-size",     std::to_string(pieceSize),     "--max-seconds", "300"};
    args.insert(args.end(), peerOptions.begin(), peerOptions.end());
    if (!peer.Start(GATEWAY_SIM_BIN, args) || peer.ListenPort() <= 0) {
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
    LastReport report(hasher, dest);
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

// One download of `mb` MB from a fresh peak; the peak and the resident size before, in kB.
bool MeasurePeak(ScratchDir& dir, uint64_t mb, uint32_t pieceSize, long* peakKb, long* beforeKb) {
    const std::string source = dir.File("peak-source.bin");
    const std::string dest = dir.File("peak-dest.bin");
    const bool ok = WriteSource(source, mb << 20) && ResetPeak();
    *beforeKb = StatusKb("VmRSS");
    const bool downloaded = ok && GatewayDownload(source, dest, pieceSize).ok;
    *peakKb = StatusKb("VmHWM");
    const bool identical = downloaded && SameFileContents(source, dest);
    unlink(source.c_str());
    unlink(dest.c_str());
    return identical;
}

bool SyncPath(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

// One install as the launcher makes it: download to `part` (with `check`, hashing the bytes as
// they are written), sync it, with `check` verify its signature from that hash when it covered
// the whole file (else on an open descriptor), rename it over `target`. Seconds, or a negative
// value; `checkSeconds` (may be null) gets the time the check took after the file was synced.
double TimedInstall(const std::string& source, const std::string& part, const std::string& target,
                    uint32_t pieceSize, const TrustedKeys* check, const std::vector<std::string>& peerOptions,
                    double* checkSeconds = nullptr) {
    unlink(part.c_str());
    unlink(target.c_str());
    const auto start = SteadyClock::now();
    std::optional<PayloadHasher> hasher;
    if (check != nullptr) {
        hasher.emplace();
    }
    if (!GatewayDownload(source, part, pieceSize, peerOptions, hasher ? &*hasher : nullptr).ok ||
        !SyncPath(part)) {
        return -1;
    }
    if (check != nullptr) {
        const auto checkStart = SteadyClock::now();
        const int fd = open(part.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        std::optional<SignatureCheck> streamed;
        if (fd >= 0 && fstat(fd, &info) == 0 && static_cast<uint64_t>(info.st_size) == hasher->BytesFed()) {
            streamed = VerifyStreamedPayload(hasher->Finish(), *check);
        }
        const bool valid = fd >= 0 && (streamed ? *streamed : VerifySignedFile(fd, *check)).Valid();
        if (checkSeconds != nullptr) {
            *checkSeconds = SecondsSince(checkStart);
        }
        if (fd >= 0) {
            close(fd);
        }
        if (!valid) {
            return -1;
        }
    }
    return rename(part.c_str(), target.c_str()) == 0 ? SecondsSince(start) : -1;
}

// Signs `payload` with a key made on the spot and writes the signed file to `out`; the key goes
// into `keys`.
bool MakeSignedSource(ScratchDir& dir, const std::string& payload, const std::string& out,
                      TrustedKeys& keys) {
    MinisignKit kit(dir.Path());
    std::string error;
    if (!kit.MakeKey("bench") || !keys.AddKeyFile(kit.PublicKey("bench"), &error)) {
        return false;
    }
    const auto sig = kit.Sign(payload, "bench");
    const int in = open(payload.c_str(), O_RDONLY | O_CLOEXEC);
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = sig.has_value() && in >= 0 && fd >= 0;
    std::vector<char> buf(kChunk);
    for (ssize_t n; ok && (n = read(in, buf.data(), buf.size())) > 0;) {
        ok = write(fd, buf.data(), static_cast<size_t>(n)) == n;
    }
    const std::string trailer = ok ? SignedTrailer(*sig) : "";
    ok = ok && write(fd, trailer.data(), trailer.size()) == static_cast<ssize_t>(trailer.size());
    if (in >= 0) {
        close(in);
    }
    return fd >= 0 && close(fd) == 0 && ok;
}

// The install rows: best plain and checked install over `rounds` (alternating which goes
// first), and the peak memory of a checked install.
bool AddInstallRows(ScratchDir& dir, const std::string& payload, uint64_t sizeMb, uint32_t pieceSize,
                    int rounds, std::vector<Row>& rows) {
    const std::string source = dir.File("signed-source.bin");
    const std::string part = dir.File("TORVIX.EXE.download");
    const std::string target = dir.File("TORVIX.EXE");
    TrustedKeys keys;
    if (MinisignKit::Program().empty() || !MakeSignedSource(dir, payload, source, keys)) {
        std::fprintf(stderr, "bench_download: cannot sign the source with minisign (scripts/deps)\n");
        return false;
    }
    // Once as fast as loopback goes, once at the pace of a fast LAN link (the gateway sends 1 MB
    // every 10 ms), where the transfer, not the machine, sets the time.
    const std::pair<const char*, std::vector<std::string>> paces[] = {
        {"loopback", {}}, {"100 MB/s link", {"--trickle", "1048576/10"}}};
    for (const auto& [pace, peerOptions] : paces) {
        double plain = -1;
        double checked = -1;
        double checkAfter = -1;  // of the best checked install
        for (int round = 0; round < rounds; ++round) {
            for (int which = 0; which < 2; ++which) {
                const bool withCheck = (round + which) % 2 == 1;
                double checkSeconds = 0;
                const double seconds = TimedInstall(source, part, target, pieceSize,
                                                    withCheck ? &keys : nullptr, peerOptions, &checkSeconds);
                if (seconds < 0) {
                    std::fprintf(stderr, "bench_download: the %s install failed\n",
                                 withCheck ? "checked" : "plain");
                    return false;
                }
                double& best = withCheck ? checked : plain;
                if (best < 0 || seconds < best) {
                    best = seconds;
                    checkAfter = withCheck ? checkSeconds : checkAfter;
                }
            }
        }
        const double cost = checked / plain - 1;
        rows.push_back({"install, " + std::to_string(sizeMb) + " MB signed, " + pace,
                        Fixed(checked * 1000, 0, "ms"), Fixed(plain * 1000, 0, "ms without the check"), "-",
                        "-"});
        rows.push_back({"  added by the signature check", Fixed(cost * 100, 1, "%"), "-",
                        "<= " + Fixed(kCheckCostGoal * 100, 0, "%"),
                        cost <= kCheckCostGoal ? "met" : "MISSED"});
        rows.push_back({"  of it after the last byte (the check)", Fixed(checkAfter * 1000, 1, "ms"),
                        "hashed while downloading", "-", "-"});
    }
    // The check alone on the installed file, in processor time (the machine is shared).
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = SteadyClock::now();
    const int fd = open(target.c_str(), O_RDONLY | O_CLOEXEC);
    const bool valid = fd >= 0 && VerifySignedFile(fd, keys).Valid();
    const double wall = SecondsSince(start);
    if (fd >= 0) {
        close(fd);
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    auto cpu = [](const rusage& u) {
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    rows.push_back({"  the check alone, processor time", Fixed((cpu(after) - cpu(before)) * 1000, 0, "ms"),
                    Fixed(wall * 1000, 0, "ms elapsed"), "-", valid ? "-" : "FAILED"});
    const bool reset = ResetPeak();
    const long beforeKb = StatusKb("VmRSS");
    const bool ok = valid && reset && TimedInstall(source, part, target, pieceSize, &keys, {}) >= 0;
    const long peakKb = StatusKb("VmHWM");
    rows.push_back({"peak memory (VmHWM), " + std::to_string(sizeMb) + " MB checked",
                    Fixed(peakKb / 1024.0, 1, "MB"), Fixed(beforeKb / 1024.0, 1, "MB resident before"),
                    "<= " + Fixed(kPeakGoalMb, 0, "MB"), peakKb / 1024.0 <= kPeakGoalMb ? "met" : "MISSED"});
    unlink(source.c_str());
    unlink(target.c_str());
    unlink(part.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t sizeMb = 256;
    uint32_t pieceSize = 262144;  // the gateway peer's default
    int rounds = 5;
    std::vector<uint64_t> peakSizesMb = {256, 512};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--size-mb" && i + 1 < argc) {
            sizeMb = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--piece-size" && i + 1 < argc) {
            pieceSize = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--peak-mb" && i + 1 < argc) {
            peakSizesMb.clear();
            for (char* p = argv[++i]; *p != '\0';) {
                char* end = nullptr;
                peakSizesMb.push_back(std::strtoull(p, &end, 10));
                p = *end == ',' ? end + 1 : end + std::strlen(end);
            }
        } else {
            std::fprintf(stderr,
                         "usage: bench_download [--size-mb N] [--piece-size BYTES] [--rounds N] "
                         "[--peak-mb N,N,...]\n");
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

    double gatewaySeconds = 0;
    double plainSeconds = 0;
    double tailSeconds = 0;
    for (int round = 0; round < rounds; ++round) {
        // Both write a new file, as the launcher does (its temporary file never outlives a try).
        unlink(viaGateway.c_str());
        unlink(viaTcp.c_str());
        const DownloadResult download = GatewayDownload(source, viaGateway, pieceSize);
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
    bool identical = SameFileContents(source, viaGateway) && SameFileContents(source, viaTcp);
    unlink(viaGateway.c_str());
    unlink(viaTcp.c_str());
    std::vector<Row> installRows;
    const bool installed = AddInstallRows(dir, source, sizeMb, pieceSize, rounds, installRows);
    unlink(source.c_str());
    const double mb = static_cast<double>(size) / (1 << 20);
    const double gatewayRate = mb / gatewaySeconds;
    const double plainRate = mb / plainSeconds;
    const double ratio = gatewayRate / plainRate;

    std::vector<Row> rows;
    rows.push_back({"download, " + Fixed(mb, 0, "MB") + " in pieces of " + std::to_string(pieceSize),
                    Fixed(gatewayRate, 1, "MB/s"), Fixed(plainRate, 1, "MB/s plain TCP to disk"), "-", "-"});
    rows.push_back({"  ratio to the plain copy", Fixed(ratio, 2, ""), "-", ">= " + Fixed(kRatioGoal, 2, ""),
                    ratio >= kRatioGoal ? "met" : "MISSED"});
    rows.push_back({"  of it after the last piece began", Fixed(tailSeconds * 1000, 1, "ms"),
                    Fixed(gatewaySeconds * 1000, 1, "ms in all"), "-", "-"});
    for (uint64_t peakMb : peakSizesMb) {
        long peakKb = 0;
        long beforeKb = 0;
        if (!MeasurePeak(dir, peakMb, pieceSize, &peakKb, &beforeKb)) {
            std::fprintf(stderr, "bench_download: the %llu MB download failed\n",
                         static_cast<unsigned long long>(peakMb));
            identical = false;
            continue;
        }
        rows.push_back({"peak memory (VmHWM), " + std::to_string(peakMb) + " MB download",
                        Fixed(peakKb / 1024.0, 1, "MB"), Fixed(beforeKb / 1024.0, 1, "MB resident before"),
                        "<= " + Fixed(kPeakGoalMb, 0, "MB"),
                        peakKb / 1024.0 <= kPeakGoalMb ? "met" : "MISSED"});
    }

    rows.insert(rows.end(), installRows.begin(), installRows.end());
    PrintTable(rows, "measured", 14, 30, 10, 104);
    std::printf("(best of %d rounds; every file written to disk; contents %s)\n", rounds,
                identical ? "identical" : "DIFFERENT");
    return identical && installed ? 0 : 1;
}
