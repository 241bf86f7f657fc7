// Keep-alive, queries and event reports between the gateway client and the real gateway peer.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "COMMON/BM_COMM/BMQuery.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "tests/BM_COMM/support_comm.h"
#include "tests/BM_COMM/support_peer.h"
#include "tests/support/scratch_dir.h"

namespace {

using namespace peertest;

using SteadyClock = std::chrono::steady_clock;

int64_t MsSince(SteadyClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

class PeerExchange : public ::testing::Test {
protected:
    // Starts the peer with `args` and connects a fresh client to it.
    void Connect(std::vector<std::string> args) {
        ASSERT_TRUE(peer_.Start(discovery_.Port(), std::move(args))) << peer_.Transcript();
        client_ = std::make_unique<BmServer>();
        client_->Start();
        ASSERT_TRUE(PollUntilConnected(*client_)) << peer_.Transcript();
        ASSERT_TRUE(peer_.Saw("HELLO "));
    }

    PrivateDiscovery discovery_;
    SimPeer peer_;
    std::unique_ptr<BmServer> client_;
};

TEST_F(PeerExchange, KeepAliveGoesOutAfterSilenceAndTheSilenceLimitDropsTheLink) {
    Connect({"--idle-ms", "0"});  // the peer itself never speaks
    RecordingListener listener(*client_);
    ScopedManualClock clock(GetTickCount());
    client_->Poll(nullptr, REQUEST_ID_ALL, 10);  // announces the connection
    ASSERT_EQ(listener.changes, std::vector<bool>{true});

    clock->Advance(5000);  // not yet more than 5000 ms
    client_->Poll(nullptr, REQUEST_ID_ALL, 10);
    clock->Advance(1);
    client_->Poll(nullptr, REQUEST_ID_ALL, 10);
    EXPECT_TRUE(peer_.Saw("KEEPALIVE rid=0 len=0")) << peer_.Transcript();
    EXPECT_EQ(peer_.Count("KEEPALIVE"), 1u);

    clock->Advance(1000);  // only 1000 ms since that send: no second keep-alive
    client_->Poll(nullptr, REQUEST_ID_ALL, 10);
    EXPECT_FALSE(peer_.Saw("KEEPALIVE", 200, peer_.Mark()));

    clock->Advance(4000);  // 10001 ms of silence and nothing arrives within 25 ms: dead
    EXPECT_EQ(client_->Poll(nullptr, REQUEST_ID_ALL, 10), BmServer::kPollFailed);
    EXPECT_FALSE(client_->IsConnected());
    EXPECT_TRUE(peer_.Saw("DISCONNECT reason=peer-closed")) << peer_.Transcript();
}

TEST_F(PeerExchange, TheSilenceLimitSparesALinkWhoseBytesAreWaiting) {
    Connect({"--idle-ms", "100", "--verbose"});
    const size_t mark = peer_.Mark();
    ScopedManualClock clock(GetTickCount());
    // The peer's idle traffic is then waiting in the socket.
    ASSERT_TRUE(peer_.Saw("IDLE_SENT", 2000, mark)) << peer_.Transcript();
    clock->Advance(20000);
    EXPECT_NE(client_->Poll(nullptr, REQUEST_ID_ALL, 10), BmServer::kPollFailed);
    EXPECT_TRUE(client_->IsConnected());
}

TEST_F(PeerExchange, VersionQueryFollowsTheVersionFileWhileRunning) {
    ScratchDir dir;
    const std::string versionFile = dir.File("version.txt");
    std::ofstream(versionFile) << "5.1.0.7\n";
    Connect({"--version-file", versionFile});
    BmQuery query(*client_);
    std::unique_ptr<BmMsg> request = VersionRequest(3, 1);
    BmMsg* reply = nullptr;
    ASSERT_TRUE(query.Run(&reply, request.get()));
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->RequestId(), query.ListenerId());
    EXPECT_EQ(FirstString(*reply), "5.1.0.7");
    EXPECT_TRUE(
        peer_.Saw("VERSION_REQUEST rid=" + std::to_string(query.ListenerId()) + " screen=3 client=2 dev=1"))
        << peer_.Transcript();

    std::ofstream(versionFile) << "5.2.0.0\n";
    ASSERT_TRUE(query.Run(&reply, request.get()));
    EXPECT_EQ(FirstString(*reply), "5.2.0.0");
    EXPECT_FALSE(client_->IsRegistered(&query));
}

TEST_F(PeerExchange, QueryTimesOutAgainstAStalledPeerAndTheLinkStays) {
    Connect({"--stall"});
    {
        BmQuery query(*client_);
        query.SetTimeout(300);
        std::unique_ptr<BmMsg> request = VersionRequest();
        const auto start = SteadyClock::now();
        EXPECT_FALSE(query.Run(nullptr, request.get()));
        EXPECT_GE(MsSince(start), 300);
        EXPECT_LT(MsSince(start), 2000);
    }
    EXPECT_TRUE(client_->IsConnected());
    EXPECT_TRUE(peer_.Saw("VERSION_REQUEST"));

    // The full 30 s wait, on a clock that runs ahead by itself.
    ScopedManualClock clock(GetTickCount());
    clock->SetAutoAdvance(500);
    BmQuery query(*client_);
    std::unique_ptr<BmMsg> request = VersionRequest();
    const auto start = SteadyClock::now();
    EXPECT_FALSE(query.Run(nullptr, request.get()));
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_TRUE(client_->IsConnected());
}

struct QueryFault {
    const char* name;
    std::vector<std::string> args;
    bool linkSurvives;
};

void PrintTo(const QueryFault& fault, std::ostream* os) {
    *os << fault.name;
}

class PeerQueryFault : public PeerExchange, public ::testing::WithParamInterface<QueryFault> {};

TEST_P(PeerQueryFault, FailsWithoutWaitingOutTheTimeLimit) {
    Connect(GetParam().args);
    RecordingListener listener(*client_);
    client_->Poll(nullptr, REQUEST_ID_ALL, 10);
    BmQuery query(*client_);
    query.SetTimeout(3000);
    std::unique_ptr<BmMsg> request = VersionRequest();
    BmMsg* reply = nullptr;
    const auto start = SteadyClock::now();
    EXPECT_FALSE(query.Run(&reply, request.get())) << peer_.Transcript();
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_EQ(client_->IsConnected(), GetParam().linkSurvives);
    EXPECT_FALSE(client_->IsRegistered(&query));
    if (!GetParam().linkSurvives) {
        // The next general polls announce the loss, reconnect and announce the new link.
        ASSERT_TRUE(PollUntil(*client_, [&] { return listener.changes.size() >= 3; })) << peer_.Transcript();
        EXPECT_EQ(listener.changes, (std::vector<bool>{true, false, true}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PeerQueryFault,
    ::testing::Values(QueryFault{"WrongMessageId", {"--wrong-msg-id", "8200"}, true},
                      QueryFault{"OversizedHeader", {"--oversized-header"}, false},
                      QueryFault{"Garbage", {"--garbage", "64"}, false},
                      QueryFault{"CloseInTheReply", {"--close-after", "12", "--idle-ms", "0"}, false}),
    [](const ::testing::TestParamInfo<QueryFault>& p) { return std::string(p.param.name); });

TEST_F(PeerExchange, AReplyForAnotherRequestIdNeverCompletesTheQuery) {
    Connect({"--reply-rid", "77"});
    BmQuery query(*client_);
    query.SetTimeout(400);
    std::unique_ptr<BmMsg> request = VersionRequest();
    EXPECT_FALSE(query.Run(nullptr, request.get()));
    EXPECT_TRUE(peer_.Saw("VERSION_REPLY rid=77"));
    EXPECT_TRUE(client_->IsConnected());
}

TEST_F(PeerExchange, AssertionReportsReachThePeer) {
    Connect({});
    GlobalClient global(*client_);
    AssertionCounter counter;
    BM_ASSERT(1 + 1 == 3);
    EXPECT_EQ(counter.Count(), 1);
    const std::string line = peer_.Line("EVENT_REPORT ");
    EXPECT_NE(line.find("test_peer_exchange.cpp(line "), std::string::npos) << peer_.Transcript();
    EXPECT_NE(line.find(": 6.9 Build 114.0 Rel)\""), std::string::npos) << line;
}

}  // namespace
