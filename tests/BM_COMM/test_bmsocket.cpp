#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/bmsocket.h"
#include "COMMON/BM_OS/bmclock.h"
#include "tests/BM_COMM/support_comm.h"

namespace {

const Bytes kConnectLine = {'C', 'O', 'N', 'N', 'E', 'C', 'T',  'S',  'E',  'R', 'V',
                            'E', 'R', 'H', 'O', 'S', 'T', '\r', '\n', '\r', '\n'};

// A transport connected to a peer the test holds; the handshake is already read off.
class ConnectedSocket : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(socket_.Connect(listener_.Address()));
        peer_ = listener_.Accept();
        ASSERT_GE(peer_, 0);
        ASSERT_EQ(ReadExactly(peer_, 21), kConnectLine);
        ASSERT_FALSE(ReadFrame(peer_).empty());  // the hello
    }
    void TearDown() override {
        if (peer_ >= 0) {
            ::close(peer_);
        }
    }

    // Polls (waiting up to 200 ms each) until something other than Received comes back.
    BmSocket::PollResult PollSettled() {
        BmSocket::PollResult r;
        int rounds = 0;
        do {
            r = socket_.Poll(200);
        } while (r == BmSocket::Received && ++rounds < 100000);
        return r;
    }

    LoopbackListener listener_;
    BmSocket socket_;
    int peer_ = -1;
};

class RecordingObserver : public ReceiveObserver {
public:
    void OnReceiveProgress(uint32_t msgId, uint32_t requestId, uint32_t received,
                           uint32_t declared) override {
        calls.push_back({msgId, requestId, received, declared});
    }
    std::vector<std::vector<uint32_t>> calls;
};

}  // namespace

TEST(BmSocketHandshake, ConnectLineThenTheWholeHello) {
    BmServer owner;
    owner.SetMacAddress(BmString(u"00:1A:2B:3C:4D:5E"));
    owner.SetClientType(19);
    LoopbackListener listener;
    ASSERT_TRUE(owner.Connection().Connect(listener.Address()));
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);

    Bytes payload;
    Put32(payload, 706);
    Put32(payload, 5);
    PutWide(payload, u"6.9 Build 114.0 Rel");
    Put32(payload, 16);
    payload.insert(payload.end(), 16, 0);
    Put32(payload, 19);
    PutWide(payload, u"00:1A:2B:3C:4D:5E");
    PutWide(payload, u"");
    PutWide(payload, u"");
    PutWide(payload, u"");
    Bytes expected = kConnectLine;
    const Bytes hello = Frame(0, 27, payload);
    expected.insert(expected.end(), hello.begin(), hello.end());

    EXPECT_EQ(ReadExactly(peer, expected.size()), expected);
    EXPECT_TRUE(ReadAvailable(peer, 30).empty());  // nothing else, no terminating zero
    EXPECT_TRUE(owner.Connection().IsConnected());
    EXPECT_EQ(owner.Connection().Pinger(), nullptr);
    ::close(peer);
}

// A transport on its own: the hello carries the identity it was given as data (texts 1, 3, 4, 2
// in that order), and its observer is told of each connect and disconnect.
TEST(BmSocketHandshake, IdentityAsDataAndEveryConnectionChangeIsTold) {
    struct CountingObserver final : ConnectionObserver {
        int changes = 0;
        void OnTransportChanged() override { ++changes; }
    } observer;
    HelloIdentity identity;
    identity.clientType = 7;
    const char16_t* texts[] = {u"one", u"two", u"three", u"four"};
    for (int i = 0; i < HelloIdentity::kTexts; ++i) {
        identity.texts[i].AssignWide(texts[i]);
    }
    BmSocket socket(&observer);
    socket.SetIdentity(identity);
    identity.texts[0].AssignWide(u"changed later");  // the transport keeps its own copy
    LoopbackListener listener;
    ASSERT_TRUE(socket.Connect(listener.Address()));
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(observer.changes, 1);
    ASSERT_EQ(ReadExactly(peer, 21), kConnectLine);
    const Bytes frame = ReadFrame(peer);
    Bytes tail;
    Put32(tail, 7);
    for (const char16_t* text : {u"one", u"three", u"four", u"two"}) {
        PutWide(tail, text);
    }
    ASSERT_GE(frame.size(), tail.size());
    EXPECT_EQ(Bytes(frame.end() - static_cast<std::ptrdiff_t>(tail.size()), frame.end()), tail);
    socket.Disconnect();
    socket.Disconnect();  // already down: nothing more to tell
    EXPECT_EQ(observer.changes, 2);
    ::close(peer);
}

TEST(BmSocketHandshake, DescriptorIsCloseOnExecWithNoDelay) {
    LoopbackListener listener;
    BmSocket socket;
    ASSERT_TRUE(socket.Connect(listener.Address()));
    const int flags = ::fcntl(socket.Handle(), F_GETFD);
    EXPECT_NE(flags & FD_CLOEXEC, 0);
    EXPECT_EQ(::fcntl(socket.Handle(), F_GETFL) & O_NONBLOCK, 0);  // blocking after connect
    int noDelay = 0;
    socklen_t size = sizeof(noDelay);
    ASSERT_EQ(::getsockopt(socket.Handle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_EQ(noDelay, 1);
    EXPECT_TRUE(socket.HasReceiveBuffer());
    socket.Disconnect();
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_FALSE(socket.HasReceiveBuffer());
}

TEST(BmSocketHandshake, RefusedConnectLeavesNoSocket) {
    sockaddr_in nowhere;
    {
        LoopbackListener closedSoon;
        nowhere = closedSoon.Address();
    }
    BmSocket socket;
    EXPECT_FALSE(socket.Connect(nowhere));
    EXPECT_EQ(socket.Handle(), kInvalidSocket);
    EXPECT_FALSE(socket.Send(4, "abcd"));
    EXPECT_EQ(socket.Poll(0), BmSocket::Closed);
}

TEST(BmSocketHandshake, AConnectNobodyAnswersEndsWithinItsBound) {
    // A listener whose backlog is full drops further connection requests unanswered.
    LoopbackListener full;
    std::vector<int> fillers;
    for (int i = 0; i < 12; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const sockaddr_in address = full.Address();
        ::connect(fillers.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    BmSocket socket;
    const uint32_t start = GetTickCount();
    EXPECT_FALSE(socket.Connect(full.Address()));
    const uint32_t spent = ElapsedSince(start);
    EXPECT_GE(spent + 50, BmSocket::kConnectTimeoutMs);
    EXPECT_LE(spent, BmSocket::kConnectTimeoutMs + 300);
    EXPECT_EQ(BmSocket::kConnectTimeoutMs, 1000u);
    for (int fd : fillers) {
        ::close(fd);
    }
}

TEST_F(ConnectedSocket, OneByteAtATime) {
    Bytes payload;
    Put32(payload, 0x01020304);
    const Bytes wire = Frame(7, 8129, payload);
    for (size_t i = 0; i < wire.size(); ++i) {
        ASSERT_EQ(socket_.Poll(-1), BmSocket::Idle) << "at byte " << i;
        ASSERT_TRUE(WriteAll(peer_, Bytes{wire[i]}));
        ASSERT_EQ(socket_.Poll(500), BmSocket::Received);
    }
    ASSERT_EQ(socket_.Poll(-1), BmSocket::MessageReady);
    uint32_t available = 0;
    uint8_t* message = socket_.NextMessage(&available);
    EXPECT_EQ(available, wire.size());
    EXPECT_EQ(Bytes(message, message + wire.size()), wire);
    socket_.Consume(message, static_cast<uint32_t>(wire.size()));
    EXPECT_EQ(socket_.ParsePos(), 0u);
    EXPECT_EQ(socket_.FillLevel(), 0u);
}

TEST_F(ConnectedSocket, SeveralMessagesInOneRead) {
    Bytes all;
    for (uint16_t id = 1; id <= 3; ++id) {
        Bytes payload;
        Put32(payload, id * 100u);
        const Bytes one = Frame(id, 50, payload);
        all.insert(all.end(), one.begin(), one.end());
    }
    const Bytes empty = Frame(4, 51, {});
    all.insert(all.end(), empty.begin(), empty.end());
    ASSERT_TRUE(WriteAll(peer_, all));
    ASSERT_EQ(PollSettled(), BmSocket::MessageReady);
    for (uint16_t id = 1; id <= 4; ++id) {
        ASSERT_EQ(socket_.Poll(-1), BmSocket::MessageReady);
        uint8_t* message = socket_.NextMessage();
        BmMsg record;
        ASSERT_TRUE(record.Wrap(message, socket_.FillLevel()));
        EXPECT_EQ(record.RequestId(), id);
        socket_.Consume(message, record.WireSize());
        EXPECT_EQ(socket_.ParsePos(), 0u);
    }
    EXPECT_EQ(socket_.FillLevel(), 0u);
    EXPECT_EQ(socket_.Poll(-1), BmSocket::Idle);
}

TEST_F(ConnectedSocket, HeaderSplitAcrossReadsAndSevenBytesLeftUnread) {
    const Bytes wire = Frame(2, 60, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_TRUE(WriteAll(peer_, Bytes(wire.begin(), wire.begin() + 7)));
    ASSERT_EQ(socket_.Poll(500), BmSocket::Received);
    EXPECT_EQ(socket_.FillLevel(), 7u);
    // Seven bytes are not a header: they are left alone and more is read.
    EXPECT_EQ(socket_.Poll(-1), BmSocket::Idle);
    EXPECT_EQ(socket_.Poll(20), BmSocket::Idle);
    ASSERT_TRUE(WriteAll(peer_, Bytes(wire.begin() + 7, wire.begin() + 10)));
    ASSERT_EQ(socket_.Poll(500), BmSocket::Received);
    EXPECT_EQ(socket_.Poll(-1), BmSocket::Idle);  // header complete, payload not
    ASSERT_TRUE(WriteAll(peer_, Bytes(wire.begin() + 10, wire.end())));
    EXPECT_EQ(PollSettled(), BmSocket::MessageReady);
}

TEST_F(ConnectedSocket, PollWithoutWaitNeverReads) {
    ASSERT_TRUE(WriteAll(peer_, Frame(1, 1, {})));
    ASSERT_TRUE(WaitReadable(socket_.Handle(), 500));
    EXPECT_EQ(socket_.Poll(-1), BmSocket::Idle);
    EXPECT_EQ(socket_.FillLevel(), 0u);
}

TEST_F(ConnectedSocket, LargestAcceptedMessageIsWaitedFor) {
    Bytes wire = Frame(3, 70, Bytes(999991, 0x5A));
    ASSERT_EQ(wire.size(), 999999u);
    std::thread writer([&] { WriteAll(peer_, wire); });
    const BmSocket::PollResult result = PollSettled();
    writer.join();
    ASSERT_EQ(result, BmSocket::MessageReady);
    EXPECT_TRUE(socket_.IsConnected());
    uint8_t* message = socket_.NextMessage();
    EXPECT_EQ(message[999998], 0x5A);
    socket_.Consume(message, 999999);
    EXPECT_EQ(socket_.FillLevel(), 0u);
}

TEST_F(ConnectedSocket, DeclaringTheWholeBufferClosesTheLink) {
    Bytes header = Frame(3, 70, {});
    header[4] = 0xF8;  // 999992 = 0x000F4238
    header[5] = 0x42;
    header[6] = 0x0F;
    ASSERT_TRUE(WriteAll(peer_, header));
    ASSERT_EQ(socket_.Poll(500), BmSocket::Received);
    EXPECT_EQ(socket_.Poll(-1), BmSocket::Closed);
    EXPECT_FALSE(socket_.IsConnected());
    EXPECT_FALSE(socket_.HasReceiveBuffer());
}

TEST_F(ConnectedSocket, HugeDeclaredLengthCannotWrapAround) {
    Bytes header = Frame(3, 70, {});
    header[4] = header[5] = header[6] = header[7] = 0xFF;
    ASSERT_TRUE(WriteAll(peer_, header));
    ASSERT_EQ(socket_.Poll(500), BmSocket::Received);
    EXPECT_EQ(socket_.Poll(-1), BmSocket::Closed);
}

TEST_F(ConnectedSocket, PeerClosingEndsTheLink) {
    ::close(peer_);
    peer_ = -1;
    EXPECT_EQ(socket_.Poll(500), BmSocket::Closed);
    EXPECT_FALSE(socket_.IsConnected());
    EXPECT_FALSE(socket_.HasReceiveBuffer());
    EXPECT_EQ(socket_.FillLevel(), 0u);
}

TEST_F(ConnectedSocket, SendToAClosedPeerFailsWithoutSignal) {
    ::close(peer_);
    peer_ = -1;
    const Bytes keepAlive = Frame(0, 16, {});
    bool ok = true;
    for (int i = 0; i < 5 && ok; ++i) {
        ok = socket_.Send(static_cast<uint32_t>(keepAlive.size()), keepAlive.data());
    }
    EXPECT_FALSE(ok);
    EXPECT_FALSE(socket_.IsConnected());
}

TEST_F(ConnectedSocket, ObserverSeesTheArrivingMessage) {
    RecordingObserver observer;
    socket_.SetReceiveObserver(&observer);
    const Bytes wire = Frame(9, 8131, Bytes(16, 1));
    ASSERT_TRUE(WriteAll(peer_, Bytes(wire.begin(), wire.begin() + 12)));
    ASSERT_EQ(socket_.Poll(500), BmSocket::Received);
    EXPECT_EQ(socket_.Poll(-1), BmSocket::Idle);
    ASSERT_EQ(observer.calls.size(), 1u);
    EXPECT_EQ(observer.calls[0], (std::vector<uint32_t>{8131, 9, 4, 16}));
    socket_.SetReceiveObserver(nullptr);
}

TEST_F(ConnectedSocket, LargeSendIsCompletedAcrossPartialWrites) {
    // Far more than the kernel buffers hold: the send must continue as the peer drains it.
    Bytes big(8 * 1024 * 1024);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 7);
    }
    Bytes got;
    std::thread reader([&] { got = ReadExactly(peer_, big.size(), 5000); });
    EXPECT_TRUE(socket_.Send(static_cast<uint32_t>(big.size()), big.data()));
    reader.join();
    EXPECT_TRUE(got == big);
    EXPECT_TRUE(socket_.IsConnected());
}

TEST_F(ConnectedSocket, SendAlsoTakesInPendingBytes) {
    const Bytes wire = Frame(1, 1, {});
    ASSERT_TRUE(WriteAll(peer_, wire));
    ASSERT_TRUE(WaitReadable(socket_.Handle(), 500));
    ASSERT_TRUE(socket_.Send(static_cast<uint32_t>(wire.size()), wire.data()));
    EXPECT_EQ(socket_.FillLevel(), 8u);
    EXPECT_EQ(socket_.Poll(-1), BmSocket::MessageReady);
    EXPECT_EQ(ReadExactly(peer_, 8), wire);
}

TEST(BmSocketLiveness, KeepAliveAfterSilenceAndQuietSending) {
    ScopedManualClock clock(1000);
    LoopbackListener listener;
    BmSocket socket;
    ASSERT_TRUE(socket.Connect(listener.Address()));
    const int peer = listener.Accept();
    ReadExactly(peer, 21);
    ReadFrame(peer);

    clock->Advance(5000);  // exactly 5000: not more
    EXPECT_FALSE(socket.CheckLiveness());
    EXPECT_TRUE(ReadAvailable(peer, 20).empty());
    clock->Advance(1);
    EXPECT_FALSE(socket.CheckLiveness());
    EXPECT_EQ(ReadFrame(peer), Frame(0, 16, {}));

    // Just sent: silence alone does not send another one until 2000 ms have passed.
    clock->Advance(2000);
    EXPECT_FALSE(socket.CheckLiveness());
    EXPECT_TRUE(ReadAvailable(peer, 20).empty());
    clock->Advance(1);
    EXPECT_FALSE(socket.CheckLiveness());
    EXPECT_EQ(ReadFrame(peer), Frame(0, 16, {}));
    ::close(peer);
}

TEST(BmSocketLiveness, SilenceBeyondTenSecondsIsADeadLinkUnlessBytesArrive) {
    ScopedManualClock clock(0xFFFFF000u);  // the tick counter wraps during the test
    LoopbackListener listener;
    BmSocket socket;
    ASSERT_TRUE(socket.Connect(listener.Address()));
    const int peer = listener.Accept();
    ReadExactly(peer, 21);
    ReadFrame(peer);

    clock->Advance(10000);
    EXPECT_FALSE(socket.CheckLiveness());  // 10000 is not more than 10000 (one less on wrap)
    ReadFrame(peer);                       // the keep-alive it sent
    clock->Advance(2);
    ASSERT_TRUE(WriteAll(peer, Bytes{0}));
    ASSERT_TRUE(WaitReadable(socket.Handle(), 500));
    EXPECT_FALSE(socket.CheckLiveness());  // readable within 25 ms: alive, clock restarts
    EXPECT_EQ(socket.LastReceiveTick(), clock->Now());

    ASSERT_EQ(socket.Poll(100), BmSocket::Received);  // the byte is taken in
    clock->Advance(10001);
    EXPECT_TRUE(socket.CheckLiveness());
    EXPECT_EQ(ReadFrame(peer), Frame(0, 16, {}));  // the keep-alive still went out first
    ::close(peer);
}

TEST(BmSocketFunctions, AddressesAndWaits) {
    sockaddr_in address;
    MakeIPv4Address(&address, 10, 0, 0, 5, 8016);
    EXPECT_EQ(address.sin_family, AF_INET);
    const auto* octets = reinterpret_cast<const uint8_t*>(&address.sin_addr.s_addr);
    EXPECT_EQ(octets[0], 10);
    EXPECT_EQ(octets[3], 5);
    EXPECT_EQ(ntohs(address.sin_port), 8016);
    BmString text = AddressText(address);
    EXPECT_TRUE(text.Equals(BmString(u"10.0.0.5")));

    EXPECT_FALSE(WaitReadable(-1, 0));
    EXPECT_FALSE(WaitWritable(-1, 0));
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
    EXPECT_FALSE(WaitReadable(pair[0], 10));
    EXPECT_TRUE(WaitWritable(pair[0], 1500));  // waits above one second are valid too
    ASSERT_EQ(::write(pair[1], "x", 1), 1);
    EXPECT_TRUE(WaitReadable(pair[0], 1500));
    EXPECT_TRUE(SetBlocking(pair[0]));
    EXPECT_EQ(::fcntl(pair[0], F_GETFL) & O_NONBLOCK, 0);
    CloseSocket(pair[0]);
    ::close(pair[1]);
}
