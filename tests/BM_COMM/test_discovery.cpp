#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "COMMON/BM_COMM/bmpingsocket.h"
#include "COMMON/BM_COMM/bmsocket.h"
#include "COMMON/BM_COMM/statussink.h"
#include "COMMON/BM_OS/bmclock.h"
#include "tests/BM_COMM/support_comm.h"

namespace {

class RecordingSink : public StatusSink {
public:
    void ShowStatus(BmString text) override { lines.emplace_back(text.WideText()); }
    std::vector<std::u16string> lines;
};

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof(a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

// A gateway side on 127.0.0.1 that the client pings by unicast; the client's clock stands
// still so that no re-ping interferes unless a test moves it.
class Discovery : public ::testing::Test {
protected:
    Discovery() : target_("QUILLON_DISCOVERY", ("127.0.0.1:" + std::to_string(peer_.Port())).c_str()) {}

    // First attempt: creates the ping socket and pings; nothing is pending yet.
    void FirstPing() {
        ASSERT_FALSE(socket_.Discover(&address_, "", nullptr));
        const Bytes ping = peer_.Receive(1000, &client_);
        ASSERT_EQ(ping, (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
    }
    void Reply(const Bytes& datagram) { ASSERT_TRUE(peer_.SendTo(client_, datagram)); }

    ScopedManualClock clock_{5000};
    UdpPeer peer_;
    EnvGuard target_;
    BmSocket socket_;
    sockaddr_in address_{};
    sockaddr_in client_{};
    RecordingSink sink_;
};

}  // namespace

TEST_F(Discovery, PingComesFromTheSocketThatTakesReplies) {
    FirstPing();
    ASSERT_NE(socket_.Pinger(), nullptr);
    EXPECT_NE(ntohs(client_.sin_port), 0);
    EXPECT_EQ(ntohs(client_.sin_port), LocalPort(socket_.Pinger()->Handle()));
}

TEST_F(Discovery, WantedNameAmongSeveralGateways) {
    FirstPing();
    Reply(MakeReply(2, "10.0.0.3", 1000, 3, 0, "HOUSE"));     // kind 3: never taken
    Reply(MakeReply(2, "10.0.0.4", 1000, 1, 0x10, "HOUSE"));  // refused flag
    Reply(MakeReply(2, "10.0.0.7", 1000, 6, 0, "OTHER"));
    Reply(MakeReply(2, "10.0.0.5", 0x1F50, 8, 0x01, "HOUSE"));
    EXPECT_EQ(socket_.GatewayName(), "");
    ASSERT_TRUE(socket_.Discover(&address_, "HOUSE", &sink_));
    EXPECT_EQ(AddressText(address_).WideText(), std::u16string(u"10.0.0.5"));
    EXPECT_EQ(ntohs(address_.sin_port), 8016);
    // The chosen one is kept for the status report, not the last one that answered.
    EXPECT_EQ(socket_.GatewayName(), "HOUSE");
    EXPECT_EQ(AddressText(socket_.GatewayAddress()).WideText(), std::u16string(u"10.0.0.5"));
    EXPECT_EQ(sink_.lines, (std::vector<std::u16string>{
                               u"Waiting for ping response.",
                               u"Ping From 10.0.0.7 OTHER\n",
                               u"Wrong System, Looking For: HOUSE\n",
                               u"Ping From 10.0.0.5 HOUSE\n",
                           }));
}

TEST_F(Discovery, EmptyWantedNameTakesTheFirstAcceptable) {
    FirstPing();
    Reply(MakeReply(2, "10.0.0.9", 1, 9, 0, "NINE"));
    Reply(MakeReply(2, "10.0.0.2", 2, 2, 0, "TWO"));
    Reply(MakeReply(2, "10.0.0.7", 7, 7, 0, "SEVEN"));
    ASSERT_TRUE(socket_.Discover(&address_, "", &sink_));
    EXPECT_EQ(AddressText(address_).WideText(), std::u16string(u"10.0.0.2"));
    EXPECT_EQ(socket_.GatewayName(), "TWO");
    ASSERT_EQ(sink_.lines.size(), 2u);  // the refused kind 9 shows nothing
}

TEST_F(Discovery, NameMatchIsExactAndCaseSensitive) {
    FirstPing();
    Reply(MakeReply(2, "10.0.0.1", 1, 1, 0, "house"));
    Reply(MakeReply(2, "10.0.0.1", 1, 1, 0, "HOUSE2"));
    EXPECT_FALSE(socket_.Discover(&address_, "HOUSE", nullptr));
}

TEST_F(Discovery, WrongLengthOrTypeEndsTheAttempt) {
    FirstPing();
    Bytes longer = MakeReply(2, "10.0.0.1", 1, 1, 0, "HOUSE");
    longer.push_back(0);
    Bytes shorter = MakeReply(2, "10.0.0.1", 1, 1, 0, "HOUSE");
    shorter.pop_back();
    Reply(longer);
    Reply(shorter);
    Reply(MakeReply(1, "10.0.0.1", 1, 1, 0, "HOUSE"));
    Reply(MakeReply(2, "10.0.0.6", 1, 1, 0, "HOUSE"));
    EXPECT_FALSE(socket_.Discover(&address_, "HOUSE", nullptr));
    EXPECT_FALSE(socket_.Discover(&address_, "HOUSE", nullptr));
    EXPECT_FALSE(socket_.Discover(&address_, "HOUSE", nullptr));
    ASSERT_TRUE(socket_.Discover(&address_, "HOUSE", nullptr));  // the valid one still counts
    EXPECT_EQ(AddressText(address_).WideText(), std::u16string(u"10.0.0.6"));
}

TEST_F(Discovery, NameFieldWithoutTerminatorGivesTwentySevenCharacters) {
    FirstPing();
    const std::string full(28, 'N');
    Reply(MakeReply(2, "10.0.0.1", 1, 1, 0, full));
    EXPECT_FALSE(socket_.Discover(&address_, full.c_str(), &sink_));  // 28 wanted: never
    ASSERT_EQ(sink_.lines.size(), 3u);
    EXPECT_EQ(sink_.lines[1], u"Ping From 10.0.0.1 " + std::u16string(27, u'N') + u"\n");
    Reply(MakeReply(2, "10.0.0.2", 1, 1, 0, full));
    ASSERT_TRUE(socket_.Discover(&address_, std::string(27, 'N').c_str(), nullptr));
}

TEST_F(Discovery, AtMostOneHundredRepliesPerAttempt) {
    FirstPing();
    for (int i = 0; i < 100; ++i) {
        Reply(MakeReply(2, "10.0.0.1", 1, 1, 0, "OTHER"));
    }
    Reply(MakeReply(2, "10.0.0.8", 1, 1, 0, "HOUSE"));
    EXPECT_FALSE(socket_.Discover(&address_, "HOUSE", nullptr));
    ASSERT_TRUE(socket_.Discover(&address_, "HOUSE", nullptr));
    EXPECT_EQ(AddressText(address_).WideText(), std::u16string(u"10.0.0.8"));
}

TEST_F(Discovery, RepingsOnlyAfterMoreThan300Ms) {
    FirstPing();
    clock_->Advance(300);
    EXPECT_FALSE(socket_.Discover(&address_, "", nullptr));
    EXPECT_EQ(peer_.DrainCount(), 0);
    clock_->Advance(1);
    EXPECT_FALSE(socket_.Discover(&address_, "", nullptr));
    EXPECT_EQ(peer_.Receive(500).size(), 8u);
    EXPECT_EQ(socket_.Pinger()->LastPingTick(), clock_->Now());
}

TEST(DiscoveryTarget, MalformedValueSendsNothingUntilMended) {
    ScopedManualClock clock(0);
    UdpPeer peer;
    const std::string good = "127.0.0.1:" + std::to_string(peer.Port());
    BmPingSocket* pinger;
    {
        EnvGuard bad("QUILLON_DISCOVERY", (good + "x").c_str());
        pinger = new BmPingSocket();
        EXPECT_TRUE(pinger->RecreatePending());
        EXPECT_FALSE(pinger->SendPing());
    }
    EXPECT_TRUE(peer.Receive(50).empty());
    EnvGuard mended("QUILLON_DISCOVERY", good.c_str());
    clock->Advance(301);
    uint8_t reply[BmPingSocket::kReplyBytes];
    EXPECT_FALSE(pinger->ReceiveReply(reply));
    EXPECT_FALSE(pinger->RecreatePending());  // re-created and pinged
    EXPECT_EQ(peer.Receive(500).size(), 8u);
    delete pinger;
}

TEST(DiscoveryTarget, StrictParse) {
    sockaddr_in target{};
    ASSERT_TRUE(ParseDiscoveryTarget("127.255.255.255:4444", &target));
    EXPECT_EQ(AddressText(target).WideText(), std::u16string(u"127.255.255.255"));
    EXPECT_EQ(ntohs(target.sin_port), 4444);
    for (const char* bad :
         {"", "127.0.0.1", "127.0.0.1:", ":80", "256.0.0.1:80", "1.2.3:80", "1.2.3.4.5:80", "1.2.3.4:0",
          "1.2.3.4:65536", "1.2.3.4:80x", " 1.2.3.4:80", "1.2.3.4: 80", "1.2.3.4:+80", "1.2.3.-4:80",
          "0001.2.3.4:80", "1.2.3.4:000080", "localhost:80", "1.2.3.4:80:81"}) {
        EXPECT_FALSE(ParseDiscoveryTarget(bad, &target)) << bad;
    }
    EXPECT_FALSE(ParseDiscoveryTarget(nullptr, &target));
}

TEST(DiscoveryTarget, DefaultIsTheBroadcastPort444) {
    EnvGuard unset("QUILLON_DISCOVERY", nullptr);
    sockaddr_in target{};
    ASSERT_TRUE(DiscoveryTarget(&target));  // only computed: nothing is sent here
    EXPECT_EQ(target.sin_addr.s_addr, htonl(INADDR_BROADCAST));
    EXPECT_EQ(ntohs(target.sin_port), 444);
}

TEST(DiscoveryBroadcast, LoopbackBroadcastReachesTheGateway) {
    UdpPeer peer("127.255.255.255");
    EnvGuard target("QUILLON_DISCOVERY", ("127.255.255.255:" + std::to_string(peer.Port())).c_str());
    BmSocket socket;
    sockaddr_in address{};
    EXPECT_FALSE(socket.Discover(&address, "", nullptr));
    sockaddr_in client{};
    ASSERT_EQ(peer.Receive(1000, &client), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(peer.SendTo(client, MakeReply(2, "127.0.0.1", 4000, 2, 0, "LOOP")));
    int attempts = 0;
    bool found = false;
    while (!found && attempts++ < 10) {
        found = socket.Discover(&address, "LOOP", nullptr);
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(ntohs(address.sin_port), 4000);
}
