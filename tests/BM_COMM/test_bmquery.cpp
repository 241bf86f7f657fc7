#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "COMMON/BM_COMM/BMQuery.h"
#include "COMMON/BM_OS/bmclock.h"
#include "tests/BM_COMM/support_comm.h"

namespace {

uint16_t RequestIdOf(const Bytes& frame) {
    return static_cast<uint16_t>(frame[0] | (frame[1] << 8));
}

uint16_t MsgIdOf(const Bytes& frame) {
    return static_cast<uint16_t>(frame[2] | (frame[3] << 8));
}

BmMsg* VersionRequest() {
    auto* request = new BmMsg(REQUEST_ID_NONE, MSG_VERSION_REQUEST);
    request->AppendInt32(2);   // screen class
    request->AppendInt32(19);  // client type
    request->AppendInt32(1);   // dev mode
    return request;
}

// Answers each request with `msgIdDelta` added to its message id and a narrow version text.
ScriptedPeer::Handler Answer(int msgIdDelta, const char* version = "1.2.3.4") {
    return [msgIdDelta, version](int fd, const Bytes& frame) {
        Bytes payload;
        PutNarrow(payload, version);
        WriteAll(fd, Frame(RequestIdOf(frame), static_cast<uint16_t>(MsgIdOf(frame) + msgIdDelta), payload));
    };
}

}  // namespace

TEST(BmQueryTest, WithoutConnectionNothingIsSent) {
    BmServer client;
    BmQuery query(client);
    std::unique_ptr<BmMsg> request(VersionRequest());
    BmMsg* reply = nullptr;
    EXPECT_FALSE(query.Run(&reply, request.get()));
    EXPECT_EQ(reply, nullptr);
    EXPECT_FALSE(client.IsRegistered(&query));
    EXPECT_FALSE(query.WaitForReply(&reply));  // nothing was sent
}

TEST(BmQueryTest, ReplyWithTheNextMessageIdCompletesTheQuery) {
    GatewaySession session;
    ASSERT_TRUE(session.Ok());
    ScriptedPeer peer(session.peer, Answer(1));
    BmQuery query(session.client);
    std::unique_ptr<BmMsg> request(VersionRequest());
    BmMsg* reply = nullptr;
    ASSERT_TRUE(query.Run(&reply, request.get()));
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->MsgId(), MSG_VERSION_REPLY);
    EXPECT_EQ(reply->RequestId(), query.ListenerId());
    EXPECT_TRUE(reply->OwnsBuffer());
    EXPECT_EQ(reply->Cursor(), 0u);
    BmString version;
    ASSERT_TRUE(reply->ReadString(version));
    EXPECT_STREQ(version.NarrowText(), "1.2.3.4");
    EXPECT_FALSE(session.client.IsRegistered(&query));

    // The request on the wire, with the query's id stamped in.
    Bytes payload;
    Put32(payload, 2);
    Put32(payload, 19);
    Put32(payload, 1);
    ASSERT_EQ(peer.Frames().size(), 1u);
    EXPECT_EQ(peer.Frames()[0], Frame(query.ListenerId(), 8128, payload));
}

TEST(BmQueryTest, ReplyWithAnotherMessageIdFails) {
    GatewaySession session;
    ASSERT_TRUE(session.Ok());
    ScriptedPeer peer(session.peer, Answer(2));
    BmQuery query(session.client);
    std::unique_ptr<BmMsg> request(VersionRequest());
    BmMsg* reply = nullptr;
    EXPECT_FALSE(query.Run(&reply, request.get()));
    EXPECT_EQ(reply, nullptr);
}

TEST(BmQueryTest, MessageId0xFFFFExpectsZero) {
    GatewaySession session;
    ASSERT_TRUE(session.Ok());
    ScriptedPeer peer(session.peer, Answer(1));
    BmQuery query(session.client);
    BmMsg request(0, 0xFFFF);
    BmMsg* reply = nullptr;
    ASSERT_TRUE(query.Run(&reply, &request));
    EXPECT_EQ(query.ExpectedMsgId(), 0);
    EXPECT_EQ(reply->MsgId(), 0);
}

TEST(BmQueryTest, BroadcastNeverCompletesAndTheWaitTimesOut) {
    GatewaySession session;
    ASSERT_TRUE(session.Ok());
    ScriptedPeer peer(session.peer, [](int fd, const Bytes&) {
        Bytes payload;
        PutNarrow(payload, "9.9.9.9");
        WriteAll(fd, Frame(REQUEST_ID_ALL, MSG_VERSION_REPLY, payload));
    });
    ScopedManualClock clock(0);
    clock->SetAutoAdvance(4000);  // each tick read moves the clock: 30 s pass in a few polls
    BmQuery query(session.client);
    std::unique_ptr<BmMsg> request(VersionRequest());
    BmMsg* reply = nullptr;
    EXPECT_FALSE(query.Run(&reply, request.get()));
    EXPECT_GE(clock->Now(), 30000u);
    EXPECT_FALSE(session.client.IsRegistered(&query));

    // Even handed to the query directly, a broadcast is not its reply.
    ASSERT_TRUE(query.SendRequest(request.get()));
    Bytes wire = Frame(REQUEST_ID_ALL, MSG_VERSION_REPLY, {});
    BmMsg broadcast;
    broadcast.Wrap(wire.data(), static_cast<uint32_t>(wire.size()));
    query.OnMessage(broadcast);
    EXPECT_TRUE(query.IsWaiting());
}

TEST(BmQueryTest, ATricklingReplyHoldsNoPollAndTheQueryEndsAtItsLimit) {
    GatewaySession session;
    ASSERT_TRUE(session.Ok());
    std::atomic<bool> done{false};
    // Declares a 900000-byte reply and sends one byte of it every 2 ms, for at most 3 s.
    ScriptedPeer peer(session.peer, [&done](int fd, const Bytes& frame) {
        Bytes header = Frame(RequestIdOf(frame), static_cast<uint16_t>(MsgIdOf(frame) + 1), {});
        header[4] = 0xA0, header[5] = 0xBB, header[6] = 0x0D;  // 900000
        WriteAll(fd, header);
        for (int i = 0; i < 1500 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            WriteAll(fd, Bytes{0});
        }
    });
    BmQuery query(session.client);
    std::unique_ptr<BmMsg> request(VersionRequest());
    ASSERT_TRUE(query.SendRequest(request.get()));
    ASSERT_TRUE(WaitReadable(session.client.Connection().Handle(), 1000));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(session.client.Poll(nullptr, REQUEST_ID_ALL, 50), BmServer::kPollIdle);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    {
        ScopedManualClock clock(0);
        clock->SetAutoAdvance(100);
        EXPECT_FALSE(query.WaitForReply(nullptr));
        EXPECT_GE(clock->Now(), 30000u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    done = true;
}

TEST(BmQueryTest, ZeroTimeoutFailsBeforeTheFirstPoll) {
    GatewaySession session;
    ASSERT_TRUE(session.Ok());
    ScriptedPeer peer(session.peer, Answer(1));
    BmQuery query(session.client);
    query.SetTimeout(0);
    std::unique_ptr<BmMsg> request(VersionRequest());
    EXPECT_FALSE(query.Run(nullptr, request.get()));
    ASSERT_TRUE(WaitReadable(session.client.Connection().Handle(), 1000));
    EXPECT_EQ(session.client.Connection().FillLevel(), 0u);  // the answer was never read
}

TEST(BmQueryTest, ReplyAfterTheTimeRanOutDoesNotCount) {
    GatewaySession session;
    ASSERT_TRUE(session.Ok());
    ScriptedPeer peer(session.peer, Answer(1));
    BmQuery query(session.client);
    std::unique_ptr<BmMsg> request(VersionRequest());
    ASSERT_TRUE(query.SendRequest(request.get()));
    ASSERT_TRUE(WaitReadable(session.client.Connection().Handle(), 1000));
    ScopedManualClock clock(0);
    clock->SetAutoAdvance(1000);
    query.SetTimeout(2000);  // the first check passes; the poll that delivers uses up the rest
    BmMsg* reply = nullptr;
    EXPECT_FALSE(query.WaitForReply(&reply));
    EXPECT_FALSE(query.IsWaiting());  // it did arrive
    EXPECT_EQ(reply, nullptr);
}

TEST(BmQueryTest, GatewayClosingEndsTheWaitAtOnce) {
    GatewaySession session;
    ASSERT_TRUE(session.Ok());
    ScopedManualClock clock(0);  // time stands still: only the closed link can end the wait
    BmQuery query(session.client);
    std::unique_ptr<BmMsg> request(VersionRequest());
    ASSERT_TRUE(query.SendRequest(request.get()));
    session.ClosePeer();
    EXPECT_FALSE(query.WaitForReply(nullptr));
    EXPECT_FALSE(session.client.IsConnected());
    EXPECT_EQ(clock->Now(), 0u);
}

TEST(BmQueryTest, SecondRunReplacesTheReply) {
    GatewaySession session;
    ASSERT_TRUE(session.Ok());
    int answers = 0;
    ScriptedPeer peer(session.peer, [&answers](int fd, const Bytes& frame) {
        Bytes payload;
        PutNarrow(payload, ++answers == 1 ? "first" : "second");
        WriteAll(fd, Frame(RequestIdOf(frame), MsgIdOf(frame) + 1, payload));
    });
    BmQuery query(session.client);
    std::unique_ptr<BmMsg> request(VersionRequest());
    BmMsg* reply = nullptr;
    ASSERT_TRUE(query.Run(&reply, request.get()));
    ASSERT_TRUE(query.Run(&reply, request.get()));
    BmString text;
    ASSERT_TRUE(reply->ReadString(text));
    EXPECT_STREQ(text.NarrowText(), "second");
}
