// The gateway peer seen from outside: its ping replies and TCP answers are checked byte by byte
// with hand-written expectations, never with the client library's encoder.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/peer_process.h"
#include "tests/support/scratch_dir.h"

namespace {

using Bytes = std::string;

Bytes U16(uint16_t v) {
    return Bytes{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
Bytes U32(uint32_t v) {
    return Bytes{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                 static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}
Bytes Header(uint16_t rid, uint16_t id, uint32_t len) {
    return U16(rid) + U16(id) + U32(len);
}
// Wide string item of ASCII text.
Bytes WideItem(const std::string& ascii) {
    Bytes out = U32(static_cast<uint32_t>(ascii.size() * 2) | 0x80000000u);
    for (char c : ascii) {
        out += Bytes{c, '\0'};
    }
    out.append((4 - out.size() % 4) % 4, '\0');
    return out;
}

const Bytes kConnectLine = "CONNECTSERVERHOST\r\n\r\n";
const Bytes kPing("\x01\0\0\0\0\0\0\0", 8);

// A plain TCP client of the peer.
class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { close(fd_); }
    bool Connected() const { return connected_; }
    bool Send(const Bytes& b) {
        return send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    // Up to `n` bytes, collected until `timeoutMs` pass without any.
    Bytes Receive(size_t n, int timeoutMs = 2000) {
        Bytes out;
        char buf[65536];
        while (out.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) {
                break;
            }
            const ssize_t got = recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (got <= 0) {
                eof_ = true;
                break;
            }
            out.append(buf, static_cast<size_t>(got));
        }
        return out;
    }
    // Whatever arrives within `ms`.
    Bytes ReceiveFor(int ms) {
        Bytes out;
        char buf[4096];
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return out;
            }
            const ssize_t got = recv(fd_, buf, sizeof buf, 0);
            if (got <= 0) {
                return out;
            }
            out.append(buf, static_cast<size_t>(got));
        }
    }
    // True when the peer has closed (after reading and dropping whatever precedes the end).
    bool SeesEof(int timeoutMs = 2000) {
        Receive(SIZE_MAX, timeoutMs);
        return eof_;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
};

class UdpProbe {
public:
    UdpProbe() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    }
    ~UdpProbe() { close(fd_); }
    void SendTo(const char* address, int port, const Bytes& b) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &a.sin_addr);
        sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    // The datagrams that arrive until `timeoutMs` pass without one.
    std::vector<Bytes> Collect(int timeoutMs = 300) {
        std::vector<Bytes> out;
        char buf[4096];
        pollfd p{fd_, POLLIN, 0};
        while (poll(&p, 1, timeoutMs) > 0) {
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n < 0) {
                break;
            }
            out.emplace_back(buf, static_cast<size_t>(n));
        }
        return out;
    }

private:
    int fd_ = -1;
};

class GatewaySimTest : public ::testing::Test {
protected:
    void SetUp() override {
        discoveryPort_ = FreeUdpPort();
        ASSERT_GT(discoveryPort_, 0);
    }
    // Starts a peer on the test's discovery port with `args`; returns its TCP port.
    int StartPeer(PeerProcess& peer, std::vector<std::string> args) {
        args.insert(args.end(), {"--discovery-port", std::to_string(discoveryPort_), "--max-seconds", "60"});
        EXPECT_TRUE(peer.Start(GATEWAY_SIM_BIN, args));
        const int port = peer.ListenPort();
        EXPECT_GT(port, 0) << peer.Transcript();
        return port;
    }
    int StartPeer(std::vector<std::string> args) { return StartPeer(peer_, std::move(args)); }
    // Connects with the connect line and waits until the peer has taken it.
    void Open(RawClient& c) {
        ASSERT_TRUE(c.Connected());
        const size_t before = peer_.LineCount();
        ASSERT_TRUE(c.Send(kConnectLine));
        ASSERT_TRUE(peer_.WaitForLine("CONNECT_LINE ok", 2000, before)) << peer_.Transcript();
    }
    std::string WriteFile(const std::string& name, const Bytes& content) {
        const std::string path = dir_.File(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    static Bytes VersionRequest(uint16_t rid) { return Header(rid, 8128, 12) + U32(3) + U32(2) + U32(0); }
    static Bytes DownloadRequest(uint16_t rid) {
        return Header(rid, 8130, 16) + U32(3) + U32(2) + U32(706) + U32(0);
    }

    int discoveryPort_ = -1;
    PeerProcess peer_;
    ScratchDir dir_;
};

TEST(GatewaySimCommandLine, HelpAndBadOptions) {
    // Every tool answers --help with its usage on stdout and exit code 0.
    const std::pair<const char*, const char*> tools[] = {{GATEWAY_SIM_BIN, "Usage: gateway-sim"},
                                                         {DEMO_APP_BIN, "usage: demo-app"},
                                                         {STAMP_VERSION_BIN, "usage: stamp-version"},
                                                         {QUILLON_SIGN_BIN, "usage: quillon-sign"}};
    for (const auto& [program, usage] : tools) {
        PeerProcess help;
        ASSERT_TRUE(help.Start(program, {"--help"}));
        const auto status = help.WaitExit(5000);
        ASSERT_TRUE(status.has_value()) << program;
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << program;
        EXPECT_TRUE(help.WaitForLine(usage, 1000)) << program;
    }

    for (std::vector<std::string> bad : {std::vector<std::string>{"--no-such-option"},
                                         {"--port", "70000"},
                                         {"--piece-size", "0"},
                                         {"--gateway", "A,x"},
                                         {"--trickle", "0"}}) {
        PeerProcess p;
        ASSERT_TRUE(p.Start(GATEWAY_SIM_BIN, bad));
        const auto s = p.WaitExit(5000);
        ASSERT_TRUE(s.has_value()) << bad[0];
        EXPECT_TRUE(WIFEXITED(*s) && WEXITSTATUS(*s) == 2) << bad[0];
    }
}

TEST_F(GatewaySimTest, EveryGatewayAnswersTheBroadcastPingWithItsOwnReply) {
    const int port = StartPeer({"--gateway", "HOUSE", "--gateway", "GARAGE,3,0x10,8016", "--gateway",
                                "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123,8"});
    UdpProbe probe;
    probe.SendTo("127.255.255.255", discoveryPort_, kPing);
    const std::vector<Bytes> replies = probe.Collect();
    ASSERT_EQ(replies.size(), 3u);
    const Bytes loopback("\x7f\0\0\x01", 4);
    EXPECT_EQ(replies[0], U32(2) + loopback + U16(static_cast<uint16_t>(port)) + Bytes("\x01\x00", 2) +
                              "HOUSE" + Bytes(23, '\0'));
    EXPECT_EQ(replies[1], U32(2) + loopback + Bytes("\x50\x1f\x03\x10", 4) + "GARAGE" + Bytes(22, '\0'));
    // A name that fills the field is cut at 28 bytes and has no terminator.
    EXPECT_EQ(replies[2].size(), 40u);
    EXPECT_EQ(replies[2].substr(10, 2), Bytes("\x08\x00", 2));
    EXPECT_EQ(replies[2].substr(12), "ABCDEFGHIJKLMNOPQRSTUVWXYZ01");
    EXPECT_TRUE(peer_.WaitForLine("PING from 127.0.0.1:", 1000));

    // Anything but the exact ping is only recorded.
    probe.SendTo("127.0.0.1", discoveryPort_, Bytes("\x01\0\0\0\0\0\0\x01", 8));
    probe.SendTo("127.0.0.1", discoveryPort_, kPing + "x");
    EXPECT_TRUE(probe.Collect(200).empty());
    EXPECT_TRUE(peer_.WaitForLine("DATAGRAM from 127.0.0.1:", 1000));
    EXPECT_EQ(peer_.CountLines("DATAGRAM"), 2u);
}

TEST_F(GatewaySimTest, PeersShareTheDiscoveryPortAndReplyLengthIsAFaultSwitch) {
    PeerProcess second;
    StartPeer({"--name", "ONE"});
    StartPeer(second, {"--name", "TWO", "--announce-address", "127.0.0.9", "--reply-bytes", "41"});
    UdpProbe probe;
    probe.SendTo("127.255.255.255", discoveryPort_, kPing);
    std::vector<Bytes> replies = probe.Collect();
    ASSERT_EQ(replies.size(), 2u);
    if (replies[0].size() != 40) {
        std::swap(replies[0], replies[1]);
    }
    EXPECT_EQ(replies[0].size(), 40u);
    EXPECT_EQ(replies[0].substr(12, 4), Bytes("ONE\0", 4));
    ASSERT_EQ(replies[1].size(), 41u);
    EXPECT_EQ(replies[1].substr(4, 4), Bytes("\x7f\0\0\x09", 4));
    EXPECT_EQ(replies[1].substr(12, 4), Bytes("TWO\0", 4));
}

TEST_F(GatewaySimTest, RecordsTheHandshakeAndAnswersTheVersionRequest) {
    const int port = StartPeer({"--version", "6.1.0.22", "--idle-ms", "0"});
    RawClient c(port);
    Open(c);
    const Bytes hello = U32(706) + U32(5) + WideItem("6.9 Build 114.0 Rel") + U32(16) + Bytes(16, '\0') +
                        U32(19) + WideItem("00:1A:2B:3C:4D:5E") + WideItem("") + WideItem("") + U32(3) +
                        "ab\"" + Bytes(1, '\0');
    ASSERT_TRUE(c.Send(Header(0, 27, static_cast<uint32_t>(hello.size())) + hello));
    const auto line = peer_.WaitForLine("HELLO ", 2000);
    ASSERT_TRUE(line) << peer_.Transcript();
    EXPECT_EQ(*line,
              "HELLO 706 5 \"6.9 Build 114.0 Rel\" 16 00000000000000000000000000000000 19 "
              "\"00:1A:2B:3C:4D:5E\" \"\" \"\" n\"ab\\\"\"");

    ASSERT_TRUE(c.Send(VersionRequest(5)));
    const Bytes expected = Header(5, 8129, 20) + WideItem("6.1.0.22");
    EXPECT_EQ(c.Receive(expected.size()), expected);
    EXPECT_TRUE(peer_.WaitForLine("VERSION_REQUEST rid=5 screen=3 client=2 dev=0", 1000))
        << peer_.Transcript();

    const Bytes report = WideItem("bmsocket.cpp(12)");
    ASSERT_TRUE(c.Send(Header(0, 16, 0) + Header(0, 9501, static_cast<uint32_t>(report.size())) + report +
                       Header(9, 4444, 4) + U32(1)));
    EXPECT_TRUE(peer_.WaitForLine("KEEPALIVE rid=0 len=0", 1000));
    EXPECT_TRUE(peer_.WaitForLine("EVENT_REPORT \"bmsocket.cpp(12)\"", 1000));
    EXPECT_TRUE(peer_.WaitForLine("MESSAGE rid=9 id=4444 len=4", 1000));
}

TEST_F(GatewaySimTest, VersionFileIsReadAtEveryRequestAndNarrowIsAnOption) {
    const std::string versionFile = WriteFile("version.txt", "1.2.3.4\n");
    const int port = StartPeer({"--version-file", versionFile, "--version-narrow", "--idle-ms", "0"});
    RawClient c(port);
    Open(c);
    ASSERT_TRUE(c.Send(VersionRequest(7)));
    EXPECT_EQ(c.Receive(20), Header(7, 8129, 12) + U32(7) + "1.2.3.4" + Bytes(1, '\0'));
    WriteFile("version.txt", "10.20.30.40\r\n");
    ASSERT_TRUE(c.Send(VersionRequest(8)));
    EXPECT_EQ(c.Receive(24), Header(8, 8129, 16) + U32(11) + "10.20.30.40" + Bytes(1, '\0'));
    peer_.Signal(SIGHUP);
    EXPECT_TRUE(peer_.WaitForLine("RELOAD version=\"10.20.30.40\"", 1000));
}

TEST_F(GatewaySimTest, ServesSmallFilesWholeAndLargeOnesInPieces) {
    const std::string file = WriteFile("app.bin", "0123456789");
    {
        PeerProcess peer;
        const int port = StartPeer(peer, {"--file", file, "--file-msg-id", "8149", "--idle-ms", "0"});
        RawClient c(port);
        ASSERT_TRUE(c.Send(kConnectLine + DownloadRequest(3)));
        EXPECT_EQ(c.Receive(24), Header(3, 8149, 16) + U32(10) + "0123456789" + Bytes(2, '\0'));
        EXPECT_TRUE(peer.WaitForLine("DOWNLOAD_REQUEST rid=3 screen=3 client=2 c706=706 dev=0", 1000));
    }
    const int port = StartPeer({"--file", file, "--pieces", "--piece-size", "4", "--idle-ms", "0"});
    RawClient c(port);
    Open(c);
    ASSERT_TRUE(c.Send(DownloadRequest(4)));
    const Bytes expected = Header(4, 8301, 12) + U32(10) + U32(4) + "0123" + Header(4, 8301, 12) + U32(10) +
                           U32(4) + "4567" + Header(4, 8301, 12) + U32(10) + U32(2) + "89" + Bytes(2, '\0');
    EXPECT_EQ(c.Receive(expected.size()), expected);
    EXPECT_TRUE(peer_.WaitForLine("DOWNLOAD_DONE rid=4 pieces=3 bytes=10", 1000));
}

TEST_F(GatewaySimTest, AFileAtTheMessageLimitGoesInPieces) {
    // 999988 bytes make a whole-file message of exactly 1000000 bytes: one too many.
    const std::string file = WriteFile("big.bin", Bytes(999988, 'z'));
    const int port = StartPeer({"--file", file, "--piece-size", "600000", "--idle-ms", "0"});
    RawClient c(port);
    Open(c);
    ASSERT_TRUE(c.Send(DownloadRequest(2)));
    const Bytes first = c.Receive(16);
    EXPECT_EQ(first, Header(2, 8301, 600008) + U32(999988) + U32(600000));
    const Bytes rest = c.Receive(600000 + 16 + 399988);
    ASSERT_EQ(rest.size(), 600000u + 16 + 399988);
    EXPECT_EQ(rest.substr(600000, 16), Header(2, 8301, 399996) + U32(999988) + U32(399988));
}

TEST_F(GatewaySimTest, ReplyFaults) {
    const std::string file = WriteFile("app.bin", "0123456789");
    struct Case {
        std::vector<std::string> args;
        Bytes expected;  // what answers download request 6
    };
    const std::vector<Case> cases = {
        {{"--wrong-msg-id", "8200"}, Header(6, 8200, 16) + U32(10) + "0123456789" + Bytes(2, '\0')},
        {{"--reply-rid", "77"}, Header(77, 8131, 16) + U32(10) + "0123456789" + Bytes(2, '\0')},
        {{"--declared-size", "4000"}, Header(6, 8131, 16) + U32(4000) + "0123456789" + Bytes(2, '\0')},
        {{"--oversized-header"}, Header(6, 8131, 999992) + Bytes(64, '\0')},
        {{"--oversized-header=5000000", "--fault-on", "download"},
         Header(6, 8131, 5000000) + Bytes(64, '\0')},
        {{"--pieces", "--piece-size", "6", "--changing-total", "--piece-extra", "3"},
         Header(6, 8301, 16) + U32(10) + U32(6) + "012345" + Bytes(2, '\0') + Header(6, 8301, 16) + U32(14) +
             U32(7) + "6789" + Bytes("\xee\xee\xee\0", 4)},
    };
    for (const Case& k : cases) {
        PeerProcess peer;
        std::vector<std::string> args = k.args;
        args.insert(args.end(), {"--file", file, "--idle-ms", "0"});
        const int port = StartPeer(peer, args);
        RawClient c(port);
        ASSERT_TRUE(c.Send(kConnectLine + DownloadRequest(6)));
        EXPECT_EQ(c.Receive(k.expected.size()), k.expected) << k.args[0];
    }

    // Faults aimed at downloads leave the version answer alone; garbage is what it says.
    PeerProcess peer;
    const int port = StartPeer(peer, {"--garbage", "32", "--fault-on", "download", "--version", "1.0.0.1"});
    RawClient c(port);
    ASSERT_TRUE(c.Send(kConnectLine + VersionRequest(1)));
    EXPECT_EQ(c.Receive(28), Header(1, 8129, 20) + WideItem("1.0.0.1"));
    ASSERT_TRUE(c.Send(DownloadRequest(2)));
    const Bytes garbage = c.Receive(32);
    EXPECT_EQ(garbage.size(), 32u);
    EXPECT_NE(garbage.substr(0, 2), U16(2));
    EXPECT_TRUE(peer.WaitForLine("FAULT garbage bytes=32", 1000));
}

TEST_F(GatewaySimTest, StallCloseAfterAndTrickle) {
    {
        PeerProcess peer;
        const int port = StartPeer(peer, {"--stall", "--idle-ms", "50"});
        RawClient c(port);
        ASSERT_TRUE(c.Send(kConnectLine + VersionRequest(1)));
        EXPECT_TRUE(c.Receive(1, 400).empty());  // not even the idle traffic
        EXPECT_TRUE(peer.WaitForLine("VERSION_REQUEST rid=1", 1000));
    }
    {
        PeerProcess peer;
        const int port = StartPeer(peer, {"--close-after", "13", "--version", "1.2.3.4", "--idle-ms", "0"});
        RawClient c(port);
        ASSERT_TRUE(c.Send(kConnectLine + VersionRequest(1)));
        EXPECT_EQ(c.Receive(100), (Header(1, 8129, 20) + WideItem("1.2.3.4")).substr(0, 13));
        EXPECT_TRUE(c.SeesEof());
        EXPECT_TRUE(peer.WaitForLine("DISCONNECT reason=close-after", 1000));
    }
    {
        PeerProcess peer;
        const int port = StartPeer(peer, {"--close-after", "0"});
        RawClient c(port);
        EXPECT_TRUE(c.SeesEof());
    }
    const int port = StartPeer({"--trickle", "4/100", "--version", "1.2.3.4", "--idle-ms", "0"});
    RawClient c(port);
    ASSERT_TRUE(c.Send(kConnectLine + VersionRequest(1)));
    // 28 bytes at 4 per 100 ms: the first 250 ms bring at most 12, all of them about 700 ms.
    const Bytes early = c.ReceiveFor(250);
    EXPECT_LE(early.size(), 12u);
    EXPECT_EQ(early + c.Receive(28 - early.size(), 1000), Header(1, 8129, 20) + WideItem("1.2.3.4"));
}

TEST_F(GatewaySimTest, IdleTrafficNewClientsAndEnd) {
    const int port = StartPeer({"--idle-ms", "100"});
    RawClient first(port);
    Open(first);
    EXPECT_EQ(first.Receive(8, 1000), Header(0, 16, 0));
    RawClient second(port);
    ASSERT_TRUE(second.Connected());
    EXPECT_TRUE(first.SeesEof());
    EXPECT_TRUE(peer_.WaitForLine("DISCONNECT reason=replaced", 1000));
    ASSERT_TRUE(second.Send(kConnectLine + Bytes("BAD!")));
    size_t firstLine = 0;
    ASSERT_TRUE(peer_.WaitForLine("CONNECT_LINE ok", 1000, 0, &firstLine));
    EXPECT_TRUE(peer_.WaitForLine("CONNECT_LINE ok", 1000, firstLine + 1));

    peer_.Signal(SIGTERM);
    const auto status = peer_.WaitExit(2000);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_TRUE(peer_.WaitForLine("EXIT reason=signal-15", 1000));
}

TEST_F(GatewaySimTest, BadConnectLineOversizedRequestAndTimeLimit) {
    PeerProcess limited;
    std::vector<std::string> args = {"--discovery-port", std::to_string(discoveryPort_), "--max-seconds",
                                     "0"};
    ASSERT_TRUE(limited.Start(GATEWAY_SIM_BIN, args));
    ASSERT_TRUE(limited.WaitExit(2000).has_value());
    EXPECT_TRUE(limited.WaitForLine("EXIT reason=max-seconds", 1000));

    const int port = StartPeer({"--idle-ms", "0"});
    RawClient bad(port);
    ASSERT_TRUE(bad.Send("CONNECTSERVERHOST\n\n\n\n\n"));
    EXPECT_TRUE(bad.SeesEof());
    EXPECT_TRUE(peer_.WaitForLine("CONNECT_LINE bad \"CONNECTSERVERHOST\\x0A", 1000)) << peer_.Transcript();

    RawClient big(port);
    Open(big);
    ASSERT_TRUE(big.Send(Header(3, 8128, 1000000)));
    EXPECT_TRUE(big.SeesEof());
    EXPECT_TRUE(peer_.WaitForLine("BAD_HEADER rid=3 id=8128 len=1000000", 1000));
}

}  // namespace
