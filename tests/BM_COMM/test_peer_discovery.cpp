// The gateway client against the real gateway peer over loopback: choosing a gateway among
// several, the handshake the peer records, and reconnecting after the peer dies.
#include <gtest/gtest.h>

#include <algorithm>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/bmsocket.h"
#include "tests/BM_COMM/support_peer.h"

namespace {

using namespace peertest;

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(PeerDiscovery, TakesOnlyTheWantedAcceptableGateway) {
    PrivateDiscovery discovery;
    SimPeer decoy;
    // Same name but refused kind or flag, and an acceptable gateway with another name.
    ASSERT_TRUE(decoy.Start(discovery.Port(),
                            {"--gateway", "WANTED,3", "--gateway", "WANTED,1,0x10", "--gateway", "OTHER,7"}))
        << decoy.Transcript();

    BmServer client;
    RecordingSink sink;
    sockaddr_in address{};
    bool found = false;
    for (int attempt = 0; attempt < 10 && !found; ++attempt) {
        found = client.Connection().Discover(&address, "WANTED", &sink);
    }
    EXPECT_FALSE(found);
    EXPECT_TRUE(Contains(sink.lines, "Waiting for ping response."));
    EXPECT_TRUE(Contains(sink.lines, "Ping From 127.0.0.1 OTHER\n"));
    EXPECT_TRUE(Contains(sink.lines, "Wrong System, Looking For: WANTED\n"));
    EXPECT_FALSE(Contains(sink.lines, "Ping From 127.0.0.1 WANTED\n"));
    EXPECT_TRUE(decoy.Saw("PING from 127.0.0.1:"));

    SimPeer wanted;
    ASSERT_TRUE(wanted.Start(discovery.Port(), {"--name", "WANTED"})) << wanted.Transcript();
    client.SetName("WANTED");
    client.Start();
    ASSERT_TRUE(PollUntilConnected(client));
    EXPECT_TRUE(wanted.Saw("CONNECT_LINE ok")) << wanted.Transcript();
    EXPECT_EQ(decoy.Count("ACCEPT"), 0u) << decoy.Transcript();
}

TEST(PeerDiscovery, HandshakeCarriesBuildClientTypeAndAdapterText) {
    PrivateDiscovery discovery;
    SimPeer peer;
    ASSERT_TRUE(
        peer.Start(discovery.Port(), {"--gateway", "BAD,4", "--gateway", "FIRST,8", "--gateway", "LATER"}));
    BmServer client;  // no name wanted: the first acceptable reply wins
    client.SetMacAddress(BmString(u"00:1A:2B:3C:4D:5E"));
    client.SetClientType(19);
    client.Start();
    const bool connected = PollUntilConnected(client);
    ASSERT_TRUE(connected);
    EXPECT_EQ(peer.Line("HELLO "),
              "HELLO 706 5 \"6.9 Build 114.0 Rel\" 16 00000000000000000000000000000000 19 "
              "\"00:1A:2B:3C:4D:5E\" \"\" \"\" \"\"")
        << peer.Transcript();
    EXPECT_EQ(peer.Count("HELLO_MALFORMED"), 0u);
}

TEST(PeerDiscovery, ListenersHearTheLossAndTheReconnectToARestartedPeer) {
    PrivateDiscovery discovery;
    auto first = std::make_unique<SimPeer>();
    ASSERT_TRUE(first->Start(discovery.Port(), {"--name", "HOME"}));
    BmServer client;
    client.SetName("HOME");
    RecordingListener listener(client);
    client.Start();
    ASSERT_TRUE(PollUntil(client, [&] { return listener.changes.size() == 1; }));
    EXPECT_TRUE(listener.changes[0]);

    first.reset();  // killed: its end of the connection closes
    ASSERT_TRUE(PollUntil(client, [&] { return listener.changes.size() == 2; }));
    EXPECT_FALSE(listener.changes[1]);
    EXPECT_FALSE(client.IsConnected());
    // A requester's poll while the link is down fails at once and does not reconnect.
    EXPECT_EQ(client.Poll(nullptr, 5, 10), BmServer::kPollFailed);

    SimPeer second;  // same discovery port, a new TCP port
    ASSERT_TRUE(second.Start(discovery.Port(), {"--name", "HOME"}));
    ASSERT_TRUE(PollUntil(client, [&] { return listener.changes.size() == 3; }));
    EXPECT_TRUE(listener.changes[2]);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_TRUE(second.Saw("HELLO 706 5 ")) << second.Transcript();

    // Dropped by the peer (SIGUSR1) rather than killed: the same false-then-true sequence.
    second.Process().Signal(SIGUSR1);
    ASSERT_TRUE(PollUntil(client, [&] { return listener.changes.size() == 5; }));
    EXPECT_FALSE(listener.changes[3]);
    EXPECT_TRUE(listener.changes[4]);
    EXPECT_EQ(second.Count("ACCEPT"), 2u);
}

TEST(PeerDiscovery, OneAttemptReadsAtMostAHundredReplies) {
    PrivateDiscovery discovery;
    std::vector<std::string> args;
    for (int i = 0; i < 120; ++i) {
        args.insert(args.end(), {"--gateway", "WRONG" + std::to_string(i)});
    }
    SimPeer peer;
    ASSERT_TRUE(peer.Start(discovery.Port(), args));
    BmServer client;
    RecordingSink sink;
    sockaddr_in address{};
    const auto wrongLines = [&] {
        return std::count(sink.lines.begin(), sink.lines.end(), "Wrong System, Looking For: RIGHT\n");
    };
    // The first attempt that sees the replies stops after a hundred of them.
    for (int attempt = 0; attempt < 10 && wrongLines() == 0; ++attempt) {
        EXPECT_FALSE(client.Connection().Discover(&address, "RIGHT", &sink));
    }
    EXPECT_EQ(wrongLines(), 100);
    EXPECT_EQ(sink.lines.back(), "Wrong System, Looking For: RIGHT\n");
    // The next one takes the other twenty.
    EXPECT_FALSE(client.Connection().Discover(&address, "RIGHT", &sink));
    EXPECT_EQ(wrongLines(), 120);
}

TEST(PeerDiscovery, ANameFillingTheWholeFieldCountsWithTwentySevenCharacters) {
    PrivateDiscovery discovery;
    SimPeer peer;
    ASSERT_TRUE(peer.Start(discovery.Port(), {"--gateway", "ABCDEFGHIJKLMNOPQRSTUVWXYZ01"}));
    BmServer client;
    sockaddr_in address{};
    bool found = false;
    for (int attempt = 0; attempt < 10 && !found; ++attempt) {
        found = client.Connection().Discover(&address, "ABCDEFGHIJKLMNOPQRSTUVWXYZ01", nullptr);
    }
    EXPECT_FALSE(found);  // 28 characters never match
    RecordingSink sink;
    for (int attempt = 0; attempt < 10 && !found; ++attempt) {
        found = client.Connection().Discover(&address, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0", &sink);
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(ntohs(address.sin_port), peer.TcpPort());
    EXPECT_TRUE(Contains(sink.lines, "Ping From 127.0.0.1 ABCDEFGHIJKLMNOPQRSTUVWXYZ0\n"));
}

}  // namespace
