#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "COMMON/BM_COMM/bmsocket.h"
#include "tests/BM_COMM/support_comm.h"

// A handler that drops the link, reconnects and drops it again while the message it reads is
// pinned: the first buffer must outlive both disconnects.
TEST(RecvBufferPinning, TwoDisconnectsInOneDispatchKeepTheMessage) {
    LoopbackListener listener;
    BmSocket link;
    ASSERT_TRUE(link.Connect(listener.Address()));
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    Bytes payload;
    Put32(payload, 0x11223344);
    ASSERT_TRUE(WriteAll(peer, Frame(5, 8129, payload)));
    BmSocket::PollResult r;
    int rounds = 0;
    do {
        r = link.Poll(200);
    } while (r == BmSocket::Received && ++rounds < 1000);
    ASSERT_EQ(r, BmSocket::MessageReady);
    uint8_t* message = link.NextMessage();
    link.PinBuffer();
    link.Disconnect();
    ::close(peer);
    ASSERT_TRUE(link.Connect(listener.Address()));
    peer = listener.Accept();
    link.Disconnect();
    uint32_t value = 0;
    std::memcpy(&value, message + 8, 4);
    EXPECT_EQ(value, 0x11223344u);
    link.UnpinBuffer();
    ::close(peer);
}
