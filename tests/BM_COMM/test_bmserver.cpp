#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/eventreport.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "tests/BM_COMM/support_comm.h"

namespace {

class RecordingListener : public GatewayListener {
public:
    RecordingListener(BmServer& server, bool registered = true) : GatewayListener(server), server_(server) {
        if (registered) {
            server_.AddListener(this);
        }
    }
    RecordingListener(BmServer& server, uint16_t id) : GatewayListener(id), server_(server) {
        server_.AddListener(this);
    }
    ~RecordingListener() override { server_.RemoveListener(this); }

    void OnMessage(BmMsg& message) override {
        int32_t first = -1;
        message.ReadInt32(&first);
        messages.push_back({message.RequestId(), message.MsgId(), first});
        if (onMessage) {
            onMessage(message);
        }
    }
    void OnConnectionChanged(bool connected) override {
        changes.push_back(connected);
        if (onChange) {
            onChange();
        }
    }

    struct Seen {
        uint16_t requestId;
        uint16_t msgId;
        int32_t first;
    };
    std::vector<Seen> messages;
    std::vector<bool> changes;
    std::function<void(BmMsg&)> onMessage;
    std::function<void()> onChange;

private:
    BmServer& server_;
};

Bytes IntMessage(uint16_t requestId, uint16_t msgId, int32_t value) {
    Bytes payload;
    Put32(payload, static_cast<uint32_t>(value));
    return Frame(requestId, msgId, payload);
}

// A started client connected to a fake gateway found through loopback discovery.
class ConnectedServer : public ::testing::Test {
protected:
    ConnectedServer() : target_("QUILLON_DISCOVERY", gateway_.Target().c_str()) {}

    void SetUp() override {
        server_.SetName("HOUSE");
        ASSERT_TRUE(server_.Start());
        peer_ = AcceptPeer();
        ASSERT_GE(peer_, 0);
    }
    void TearDown() override { ClosePeer(); }

    int AcceptPeer() {
        const int fd = gateway_.Tcp().Accept();
        if (fd >= 0) {
            ReadExactly(fd, 21);
            ReadFrame(fd);
        }
        return fd;
    }
    void ClosePeer() {
        if (peer_ >= 0) {
            ::close(peer_);
            peer_ = -1;
        }
    }
    // Polls until a message was handled (bounded).
    int32_t PollFor(uint16_t filter) {
        int32_t r = BmServer::kPollIdle;
        for (int i = 0; i < 50 && r == BmServer::kPollIdle; ++i) {
            r = server_.Poll(nullptr, filter, 20);
        }
        return r;
    }

    FakeGateway gateway_;
    EnvGuard target_;
    BmServer server_;
    int peer_ = -1;
};

}  // namespace

TEST(BmServerIdle, BeforeStartNothingIsAttempted) {
    UdpPeer gateway;
    EnvGuard target("QUILLON_DISCOVERY", ("127.0.0.1:" + std::to_string(gateway.Port())).c_str());
    BmServer server;
    EXPECT_EQ(server.Poll(nullptr, REQUEST_ID_ALL, 10), BmServer::kPollIdle);
    EXPECT_EQ(server.Poll(nullptr, REQUEST_ID_NONE, 10), BmServer::kPollIdle);
    EXPECT_EQ(server.Poll(nullptr, 7, 10), BmServer::kPollFailed);
    EXPECT_TRUE(gateway.Receive(30).empty());  // no ping
    BmMsg message(0, 1);
    EXPECT_FALSE(server.Send(&message));
    EXPECT_FALSE(server.Send(nullptr));
}

TEST(BmServerIdle, NamesIdsAndIdentity) {
    BmServer server;
    server.SetName(std::string(40, 'n').c_str());
    EXPECT_EQ(std::string(server.GetName()), std::string(31, 'n'));
    server.SetName("A");
    EXPECT_STREQ(server.GetName(), "A");
    server.SetName(nullptr);
    EXPECT_STREQ(server.GetName(), "");

    server.SetMacAddress(BmString("00-11-22"));
    BmString mac = server.GetIdentityText(1);
    EXPECT_EQ(mac.Form(), Wide);
    EXPECT_TRUE(mac.Equals(BmString(u"00-11-22")));
    EXPECT_EQ(server.GetIdentityText(2).Length(), 0);
    EXPECT_EQ(server.GetIdentityText(4).Length(), 0);

    EXPECT_EQ(server.NextListenerId(), 2);
    uint16_t id = 2;
    while (id != 0x7FFE) {
        id = server.NextListenerId();
        ASSERT_NE(id, 0);
    }
    EXPECT_EQ(server.NextListenerId(), 1);
    EXPECT_EQ(server.NextListenerId(), 2);
}

TEST(BmServerIdle, ListenerRegistration) {
    AssertionCounter reports;
    BmServer server;
    EXPECT_EQ(server.ListenerCount(), 1u);  // itself
    EXPECT_EQ(server.FindListener(0), &server);
    RecordingListener a(server);
    EXPECT_FALSE(server.AddListener(&a));
    EXPECT_EQ(reports.Count(), 1);
    EXPECT_EQ(server.ListenerCount(), 2u);
    EXPECT_EQ(server.FindListener(a.ListenerId()), &a);
    server.RemoveListener(&a);
    server.RemoveListener(&a);  // absent: nothing
    EXPECT_EQ(server.FindListener(a.ListenerId()), nullptr);
    server.AddListener(&a);
}

TEST(BmServerIdle, DispatchByRequestId) {
    AssertionCounter reports;
    BmServer server;
    RecordingListener a(server, static_cast<uint16_t>(5));
    RecordingListener b(server, static_cast<uint16_t>(5));  // same id: the first one answers
    RecordingListener c(server, static_cast<uint16_t>(9));
    Bytes wire = IntMessage(5, 100, 1);
    BmMsg m;
    m.Wrap(wire.data(), static_cast<uint32_t>(wire.size()));
    server.Dispatch(m);
    EXPECT_EQ(a.messages.size(), 1u);
    EXPECT_EQ(b.messages.size(), 0u);

    Bytes all = IntMessage(REQUEST_ID_ALL, 101, 2);
    m.Wrap(all.data(), static_cast<uint32_t>(all.size()));
    server.Dispatch(m);
    EXPECT_EQ(a.messages.size(), 2u);
    EXPECT_EQ(b.messages.size(), 1u);
    ASSERT_EQ(c.messages.size(), 1u);
    EXPECT_EQ(c.messages[0].first, 2);  // each listener reads the payload from its start

    Bytes none = IntMessage(0, 102, 3);
    m.Wrap(none.data(), static_cast<uint32_t>(none.size()));
    server.Dispatch(m);
    Bytes nobody = IntMessage(77, 103, 4);
    m.Wrap(nobody.data(), static_cast<uint32_t>(nobody.size()));
    server.Dispatch(m);
    EXPECT_EQ(a.messages.size() + b.messages.size() + c.messages.size(), 4u);
    EXPECT_EQ(reports.Count(), 0);

    Bytes bad = IntMessage(0x8005, 104, 5);
    m.Wrap(bad.data(), static_cast<uint32_t>(bad.size()));
    server.Dispatch(m);
    EXPECT_EQ(reports.Count(), 1);
    EXPECT_EQ(a.messages.size(), 2u);
}

TEST(BmServerIdle, BroadcastToleratesListenersComingAndGoing) {
    BmServer server;
    RecordingListener a(server);
    RecordingListener b(server);
    RecordingListener c(server);
    RecordingListener d(server);
    RecordingListener late(server, false);
    // a removes itself and b; c adds a newcomer.
    a.onChange = [&] {
        server.RemoveListener(&a);
        server.RemoveListener(&b);
    };
    c.onChange = [&] { server.AddListener(&late); };
    server.BroadcastConnectionChanged(true);
    EXPECT_EQ(a.changes.size(), 1u);
    EXPECT_EQ(b.changes.size(), 0u);
    EXPECT_EQ(c.changes.size(), 1u);
    EXPECT_EQ(d.changes.size(), 1u);  // nobody after the removals is skipped
    EXPECT_EQ(late.changes.size(), 0u);
    EXPECT_TRUE(server.IsRegistered(&late));

    c.onChange = nullptr;
    server.BroadcastConnectionChanged(false);
    EXPECT_EQ(late.changes, std::vector<bool>{false});
}

TEST(BmServerIdle, NestedBroadcastIsReportedAndCarriedOut) {
    AssertionCounter reports;
    BmServer server;
    RecordingListener a(server);
    Bytes inner = IntMessage(REQUEST_ID_ALL, 1, 2);
    bool nested = false;
    a.onMessage = [&](BmMsg&) {
        if (!nested) {
            nested = true;
            BmMsg m;
            m.Wrap(inner.data(), static_cast<uint32_t>(inner.size()));
            server.BroadcastMessage(m);
        }
    };
    Bytes outer = IntMessage(REQUEST_ID_ALL, 1, 1);
    BmMsg m;
    m.Wrap(outer.data(), static_cast<uint32_t>(outer.size()));
    server.BroadcastMessage(m);
    EXPECT_EQ(a.messages.size(), 2u);
    EXPECT_EQ(reports.Count(), 1);
}

TEST_F(ConnectedServer, ConnectionIsAnnouncedByTheNextGeneralPoll) {
    RecordingListener a(server_);
    EXPECT_EQ(server_.Poll(nullptr, 7, 10), BmServer::kPollIdle);
    EXPECT_TRUE(a.changes.empty());  // a requester's poll announces nothing
    EXPECT_EQ(server_.Poll(nullptr, REQUEST_ID_ALL, 10), BmServer::kPollIdle);
    EXPECT_EQ(a.changes, std::vector<bool>{true});
    EXPECT_EQ(server_.Poll(nullptr, REQUEST_ID_ALL, 10), BmServer::kPollIdle);
    EXPECT_EQ(a.changes.size(), 1u);
}

TEST_F(ConnectedServer, MessagesForOthersWaitInTheQueue) {
    RecordingListener five(server_, static_cast<uint16_t>(5));
    RecordingListener seven(server_, static_cast<uint16_t>(7));
    Bytes both = IntMessage(5, 200, 55);
    const Bytes second = IntMessage(7, 201, 77);
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(WriteAll(peer_, both));

    EXPECT_EQ(PollFor(7), BmServer::kPollHandled);
    EXPECT_EQ(server_.PendingCount(), 1u);
    EXPECT_TRUE(five.messages.empty());
    EXPECT_EQ(PollFor(7), BmServer::kPollHandled);
    ASSERT_EQ(seven.messages.size(), 1u);
    EXPECT_EQ(seven.messages[0].first, 77);

    // The queued one goes first, without the transport being read.
    ASSERT_TRUE(WriteAll(peer_, IntMessage(5, 202, 56)));
    ASSERT_TRUE(WaitReadable(server_.Connection().Handle(), 500));
    EXPECT_EQ(server_.Poll(nullptr, REQUEST_ID_ALL, 10), BmServer::kPollHandled);
    ASSERT_EQ(five.messages.size(), 1u);
    EXPECT_EQ(five.messages[0].first, 55);
    EXPECT_EQ(server_.Connection().FillLevel(), 0u);
    EXPECT_EQ(server_.PendingCount(), 0u);
    EXPECT_EQ(PollFor(5), BmServer::kPollHandled);
    EXPECT_EQ(five.messages.size(), 2u);
}

TEST_F(ConnectedServer, The513thWaitingMessageEmptiesTheQueue) {
    AssertionCounter reports;
    RecordingListener five(server_, static_cast<uint16_t>(5));
    Bytes many;
    for (int i = 0; i < 513; ++i) {
        const Bytes one = IntMessage(5, 300, i);
        many.insert(many.end(), one.begin(), one.end());
    }
    ASSERT_TRUE(WriteAll(peer_, many));
    for (int i = 0; i < 512; ++i) {
        ASSERT_EQ(PollFor(7), BmServer::kPollHandled) << i;
    }
    EXPECT_EQ(server_.PendingCount(), 512u);
    EXPECT_EQ(reports.Count(), 0);
    EXPECT_EQ(PollFor(7), BmServer::kPollHandled);
    EXPECT_EQ(server_.PendingCount(), 0u);
    EXPECT_EQ(reports.Count(), 1);
    EXPECT_EQ(server_.Poll(nullptr, REQUEST_ID_ALL, 10), BmServer::kPollIdle);
    EXPECT_TRUE(five.messages.empty());
}

TEST_F(ConnectedServer, WaitingMessagesBeyondTheByteLimitEmptyTheQueue) {
    AssertionCounter reports;
    constexpr uint32_t kPayload = 900000;  // near the message size limit
    const size_t fit = BmServer::kMaxPendingBytes / (kPayload + 8);
    Bytes big(8 + kPayload, 0);
    big[0] = 5;  // request id 5, message id 300, little-endian
    big[2] = 300 & 0xff;
    big[3] = 300 >> 8;
    std::memcpy(&big[4], &kPayload, 4);
    std::thread writer([&] {
        for (size_t i = 0; i <= fit; ++i) {
            if (!WriteAll(peer_, big)) {
                return;
            }
        }
    });
    for (size_t i = 0; i < fit; ++i) {
        ASSERT_EQ(PollFor(7), BmServer::kPollHandled) << i;
    }
    EXPECT_EQ(server_.PendingCount(), fit);
    EXPECT_LE(server_.PendingBytes(), BmServer::kMaxPendingBytes);
    EXPECT_EQ(reports.Count(), 0);
    EXPECT_EQ(PollFor(7), BmServer::kPollHandled);
    writer.join();
    EXPECT_EQ(server_.PendingCount(), 0u);
    EXPECT_EQ(server_.PendingBytes(), 0u);
    EXPECT_EQ(reports.Count(), 1);
}

TEST_F(ConnectedServer, ReconnectTellsListenersFalseThenTrue) {
    RecordingListener a(server_);
    server_.Poll(nullptr, REQUEST_ID_ALL, 10);
    a.changes.clear();
    ClosePeer();
    EXPECT_EQ(PollFor(REQUEST_ID_ALL), BmServer::kPollFailed);
    EXPECT_FALSE(server_.IsConnected());
    EXPECT_EQ(server_.Poll(nullptr, 7, 10), BmServer::kPollFailed);  // no attempt for a requester
    EXPECT_TRUE(a.changes.empty());

    server_.Poll(nullptr, REQUEST_ID_ALL, 10);
    EXPECT_EQ(a.changes, (std::vector<bool>{false, true}));
    EXPECT_TRUE(server_.IsConnected());
    peer_ = AcceptPeer();
    ASSERT_GE(peer_, 0);
    ASSERT_TRUE(WriteAll(peer_, IntMessage(a.ListenerId(), 1, 9)));
    EXPECT_EQ(PollFor(REQUEST_ID_ALL), BmServer::kPollHandled);
    EXPECT_EQ(a.messages.size(), 1u);
}

TEST_F(ConnectedServer, KeepAliveAndSilenceOnlyInTheSupervisorsPoll) {
    ScopedManualClock clock(100);
    // Restart under the manual clock so the transport's ticks come from it.
    ClosePeer();
    ASSERT_TRUE(server_.Start());
    peer_ = AcceptPeer();
    server_.Poll(nullptr, REQUEST_ID_ALL, 0);

    clock->Advance(6000);
    server_.Poll(nullptr, 7, 0);  // a requester's poll keeps nothing alive
    EXPECT_TRUE(ReadAvailable(peer_, 20).empty());
    server_.Poll(nullptr, REQUEST_ID_ALL, 0);
    EXPECT_EQ(ReadFrame(peer_), Frame(0, MSG_KEEPALIVE, {}));

    RecordingListener a(server_);
    clock->Advance(4001);  // 10001 ms without a byte
    EXPECT_EQ(server_.Poll(nullptr, REQUEST_ID_ALL, 0), BmServer::kPollFailed);
    EXPECT_FALSE(server_.IsConnected());
    // The gateway peer is still listening, so the next general poll reconnects.
    server_.Poll(nullptr, REQUEST_ID_ALL, 0);
    EXPECT_EQ(a.changes, (std::vector<bool>{false, true}));
}

TEST_F(ConnectedServer, HandlerThatBreaksTheLinkKeepsItsMessage) {
    RecordingListener a(server_);
    int32_t second = 0;
    a.onMessage = [&](BmMsg& message) {
        server_.Connection().Disconnect();
        message.ReadInt32(&second);  // still readable: the bytes outlive the disconnect
    };
    Bytes payload;
    Put32(payload, 1);
    Put32(payload, 2);
    ASSERT_TRUE(WriteAll(peer_, Frame(a.ListenerId(), 1, payload)));
    EXPECT_EQ(PollFor(REQUEST_ID_ALL), BmServer::kPollHandled);
    EXPECT_EQ(second, 2);
    EXPECT_FALSE(server_.IsConnected());
    EXPECT_FALSE(server_.Connection().HasReceiveBuffer());
}

TEST_F(ConnectedServer, StatusLinesOfAReconnectGoToTheSink) {
    class Sink : public StatusSink {
    public:
        void ShowStatus(BmString text) override { lines.emplace_back(text.WideText()); }
        std::vector<std::u16string> lines;
    } sink;
    server_.Connection().Disconnect();
    server_.Poll(&sink, REQUEST_ID_ALL, 0);
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0], u"Waiting for ping response.");
    EXPECT_EQ(sink.lines[1], u"Ping From 127.0.0.1 HOUSE\n");
}

TEST_F(ConnectedServer, EventReportGoesThroughTheProgramWideClient) {
    static BmServer* client = nullptr;
    struct Guard {
        explicit Guard(BmServer* s) {
            client = s;
            SetAssertionHandler([](const BmString& text) { SendEventReport(client, text); });
        }
        ~Guard() {
            SetAssertionHandler(nullptr);
            client = nullptr;
        }
    } guard(&server_);
    ReportAssertion("..\\COMMON\\BM_COMM\\bmserver", 231, true);
    Bytes payload;
    PutWide(payload, u"bmserver(line 231: 6.9 Build 114.0 Rel)");
    EXPECT_EQ(ReadFrame(peer_), Frame(0, MSG_EVENT_REPORT, payload));

    // A narrow text is sent wide.
    EXPECT_TRUE(SendEventReport(&server_, BmString("x")));
    Bytes narrow;
    PutWide(narrow, u"x");
    EXPECT_EQ(ReadFrame(peer_), Frame(0, 9501, narrow));
}

TEST(EventReport, NothingWithoutAClient) {
    EXPECT_FALSE(SendEventReport(nullptr, BmString(u"lost")));
}
