#include <gtest/gtest.h>

#include <cstring>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "tests/BM_COMM/support_comm.h"

namespace {

Bytes Wire(BmMsg& message) {
    const uint8_t* p = message.WireBytes();
    return Bytes(p, p + message.WireSize());
}

Bytes PayloadOf(BmMsg& message) {
    Bytes wire = Wire(message);
    return Bytes(wire.begin() + 8, wire.end());
}

}  // namespace

TEST(BmMsgTest, EmptyMessageIsItsHeader) {
    BmMsg message(0x1234, 0xABCD);
    EXPECT_EQ(message.WireSize(), 8u);
    EXPECT_EQ(Wire(message), (Bytes{0x34, 0x12, 0xCD, 0xAB, 0, 0, 0, 0}));
    EXPECT_EQ(message.Capacity(), 512u);
}

TEST(BmMsgTest, ItemsAreLittleEndianAndPaddedToFour) {
    BmMsg message(0, 1);
    ASSERT_TRUE(message.AppendInt32(-2));
    const uint8_t five[] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(message.AppendBytes(five, 5));
    EXPECT_EQ(message.Length(), 12u);  // 4 + 5 padded to 8
    ASSERT_TRUE(message.AppendString(BmString("abc")));
    ASSERT_TRUE(message.AppendString(BmString(u"")));
    ASSERT_TRUE(message.AppendString(BmString("")));
    Bytes payload = PayloadOf(message);
    ASSERT_EQ(payload.size(), 28u);
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 4), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(payload.begin() + 4, payload.begin() + 9), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(Bytes(payload.begin() + 12, payload.begin() + 20), (Bytes{3, 0, 0, 0, 'a', 'b', 'c', 0}));
    EXPECT_EQ(Bytes(payload.begin() + 20, payload.begin() + 24), (Bytes{0, 0, 0, 0x80}));
    EXPECT_EQ(Bytes(payload.begin() + 24, payload.end()), (Bytes{0, 0, 0, 0}));
    // The header follows the payload's growth.
    EXPECT_EQ(Wire(message)[4], 28);
}

TEST(BmMsgTest, BuildStringItemIsFortyFourBytes) {
    BmMsg message(0, 27);
    ASSERT_TRUE(message.AppendString(BmString(u"6.9 Build 114.0 Rel")));
    Bytes expected;
    PutWide(expected, u"6.9 Build 114.0 Rel");
    ASSERT_EQ(expected.size(), 44u);
    EXPECT_EQ(PayloadOf(message), expected);
    EXPECT_EQ(Bytes(expected.begin(), expected.begin() + 4), (Bytes{0x26, 0, 0, 0x80}));
}

TEST(BmMsgTest, BlockGrowsIn512ByteSteps) {
    BmMsg message(0, 1);
    for (int i = 0; i < 126; ++i) {
        ASSERT_TRUE(message.AppendInt32(i));
    }
    EXPECT_EQ(message.Capacity(), 512u);  // 504 payload bytes + 8 still fit
    ASSERT_TRUE(message.AppendInt32(126));
    EXPECT_EQ(message.Capacity(), 1024u);  // the 127th integer: 516 bytes in all
    // Growth keeps what was there, header included.
    Bytes wire = Wire(message);
    ASSERT_EQ(wire.size(), 516u);
    EXPECT_EQ(wire[2], 1);
    EXPECT_EQ(wire[8 + 4 * 100], 100);
    EXPECT_EQ(wire[8 + 4 * 126], 126);
}

TEST(BmMsgTest, ConstructorRefusesAnOversizedInitialLength) {
    BmMsg big(1, 2, BmMsg::kMaxPayload + 1);
    EXPECT_EQ(big.Length(), 0u);
    EXPECT_FALSE(big.OwnsBuffer());
    EXPECT_EQ(big.Payload(), nullptr);
    EXPECT_EQ(Wire(big), (Bytes{1, 0, 2, 0, 0, 0, 0, 0}));
    BmMsg exact(1, 2, BmMsg::kMaxPayload);
    EXPECT_EQ(exact.Length(), BmMsg::kMaxPayload);
    EXPECT_GE(exact.Capacity(), BmMsg::kMaxPayload + 8);
}

TEST(BmMsgTest, SetRequestIdReachesTheHeader) {
    BmMsg message(0, 8128);
    message.AppendInt32(3);
    message.SetRequestId(0x0102);
    Bytes wire = Wire(message);
    EXPECT_EQ(wire[0], 0x02);
    EXPECT_EQ(wire[1], 0x01);
    EXPECT_EQ(message.RequestId(), 0x0102);
}

TEST(BmMsgTest, ReadsBackWhatWasAppended) {
    BmMsg message(0, 1);
    message.AppendInt32(42);
    const uint8_t block[] = {9, 8, 7};
    message.AppendBytes(block, 3);
    message.AppendString(BmString(u"wide"));
    message.AppendString(BmString("narrow"));
    message.AppendInt32(-7);
    message.Rewind();

    int32_t value = 0;
    ASSERT_TRUE(message.ReadInt32(&value));
    EXPECT_EQ(value, 42);
    uint8_t got[3] = {};
    ASSERT_TRUE(message.ReadBytes(got, 3));
    EXPECT_EQ(got[2], 7);
    BmString text("previous");
    ASSERT_TRUE(message.ReadString(text));
    EXPECT_EQ(text.Form(), Wide);
    EXPECT_TRUE(text.Equals(BmString(u"wide")));
    ASSERT_TRUE(message.ReadString(text));
    EXPECT_EQ(text.Form(), Narrow);
    EXPECT_STREQ(text.NarrowText(), "narrow");
    ASSERT_TRUE(message.ReadInt32(&value));
    EXPECT_EQ(value, -7);
    EXPECT_FALSE(message.ReadInt32(&value));
    EXPECT_TRUE(message.ReadError());
}

TEST(BmMsgTest, EmptyStringItemKeepsTheTextsForm) {
    Bytes payload;
    PutWide(payload, u"");
    Bytes wire = Frame(0, 1, payload);
    BmMsg message;
    ASSERT_TRUE(message.Wrap(wire.data(), static_cast<uint32_t>(wire.size())));
    BmString text("was narrow");
    ASSERT_TRUE(message.ReadString(text));
    EXPECT_EQ(text.Length(), 0);
    EXPECT_EQ(text.Form(), Narrow);
}

TEST(BmMsgTest, ShortReadSetsAStickyErrorForStrings) {
    Bytes payload = {1, 2, 3};
    Bytes wire = Frame(0, 1, payload);
    BmMsg message;
    ASSERT_TRUE(message.Wrap(wire.data(), static_cast<uint32_t>(wire.size())));
    int32_t value = 99;
    EXPECT_FALSE(message.ReadInt32(&value));
    EXPECT_EQ(value, 99);
    EXPECT_EQ(message.Cursor(), 0u);
    uint8_t two[2];
    EXPECT_TRUE(message.ReadBytes(two, 2));  // byte reads still work
    BmString text;
    EXPECT_FALSE(message.ReadString(text));
}

TEST(BmMsgTest, StringLongerThanPayloadFailsAfterThePrefix) {
    Bytes payload;
    Put32(payload, 0x80000000u | 12);
    Put32(payload, 0x00410041);  // only 4 of the 12 bytes
    Bytes wire = Frame(0, 1, payload);
    BmMsg message;
    message.Wrap(wire.data(), static_cast<uint32_t>(wire.size()));
    BmString text(u"keep");
    EXPECT_FALSE(message.ReadString(text));
    EXPECT_EQ(message.Cursor(), 4u);
    EXPECT_TRUE(message.ReadError());
    EXPECT_FALSE(message.ReadString(text));
}

TEST(BmMsgTest, OverlongStringIsSkippedAsEmpty) {
    Bytes payload;
    Put32(payload, 10001);
    payload.insert(payload.end(), 10001, 'x');
    while (payload.size() % 4 != 0) {
        payload.push_back(0);
    }
    Put32(payload, 77);
    Bytes wire = Frame(0, 1, payload);
    BmMsg message;
    ASSERT_TRUE(message.Wrap(wire.data(), static_cast<uint32_t>(wire.size())));
    BmString text(u"old");
    ASSERT_TRUE(message.ReadString(text));
    EXPECT_EQ(text.Length(), 0);
    EXPECT_EQ(message.Cursor(), 4u + 10004u);
    EXPECT_FALSE(message.ReadError());
    int32_t after = 0;
    ASSERT_TRUE(message.ReadInt32(&after));
    EXPECT_EQ(after, 77);

    // A 10000-byte text is still read.
    Bytes exact;
    Put32(exact, 10000);
    exact.insert(exact.end(), 10000, 'y');
    Bytes wire2 = Frame(0, 1, exact);
    BmMsg second;
    second.Wrap(wire2.data(), static_cast<uint32_t>(wire2.size()));
    ASSERT_TRUE(second.ReadString(text));
    EXPECT_EQ(text.Length(), 10000);
}

TEST(BmMsgTest, SkippedStringWithoutPaddingStopsAtTheEnd) {
    Bytes payload;
    Put32(payload, 10001);
    payload.insert(payload.end(), 10001, 'x');  // the last item: padding missing
    Bytes wire = Frame(0, 1, payload);
    BmMsg message;
    ASSERT_TRUE(message.Wrap(wire.data(), static_cast<uint32_t>(wire.size())));
    BmString text;
    ASSERT_TRUE(message.ReadString(text));
    EXPECT_EQ(message.Cursor(), message.Length());
    EXPECT_FALSE(message.ReadInt32(nullptr));
}

TEST(BmMsgTest, OddWideByteCountDropsTheHalfUnit) {
    Bytes payload;
    Put32(payload, 0x80000000u | 3);
    payload.insert(payload.end(), {'A', 0, 'B', 0});
    Bytes wire = Frame(0, 1, payload);
    BmMsg message;
    message.Wrap(wire.data(), static_cast<uint32_t>(wire.size()));
    BmString text;
    ASSERT_TRUE(message.ReadString(text));
    EXPECT_EQ(text.Length(), 1);
    EXPECT_TRUE(text.Equals(BmString(u"A")));
}

TEST(BmMsgTest, WrapTrustsTheHeaderOnlyWithinTheBytesGiven) {
    Bytes wire = Frame(5, 8129, Bytes(8, 0));
    BmMsg message;
    EXPECT_FALSE(message.Wrap(wire.data(), 12));  // header says 8, only 4 present
    EXPECT_EQ(message.RequestId(), 0xFFFF);
    EXPECT_EQ(message.MsgId(), 0xFFFF);
    EXPECT_EQ(message.Length(), 0u);
    EXPECT_FALSE(message.ReadInt32(nullptr));
    EXPECT_FALSE(message.Wrap(wire.data(), 7));

    Bytes huge = Frame(5, 1, {});
    huge[4] = 0x41;  // 1000001 declared
    huge[5] = 0x42;
    huge[6] = 0x0F;
    EXPECT_FALSE(message.Wrap(huge.data(), 0xFFFFFFFFu));
    EXPECT_EQ(message.RequestId(), 0xFFFF);

    ASSERT_TRUE(message.Wrap(wire.data(), static_cast<uint32_t>(wire.size())));
    EXPECT_EQ(message.RequestId(), 5);
    EXPECT_EQ(message.MsgId(), 8129);
    EXPECT_EQ(message.Length(), 8u);
    EXPECT_FALSE(message.OwnsBuffer());
    EXPECT_EQ(message.Payload(), wire.data() + 8);
}

TEST(BmMsgTest, CloneOwnsItsCopyAndReadsFromTheStart) {
    Bytes payload;
    Put32(payload, 11);
    Put32(payload, 22);
    Bytes wire = Frame(3, 8131, payload);
    BmMsg message;
    ASSERT_TRUE(message.Wrap(wire.data(), static_cast<uint32_t>(wire.size())));
    message.ReadInt32(nullptr);
    std::unique_ptr<BmMsg> copy = message.Clone();
    std::memset(wire.data(), 0xEE, wire.size());  // the wrapped bytes go away
    EXPECT_TRUE(copy->OwnsBuffer());
    EXPECT_EQ(copy->RequestId(), 3);
    EXPECT_EQ(copy->MsgId(), 8131);
    EXPECT_EQ(copy->Cursor(), 0u);
    int32_t first = 0;
    ASSERT_TRUE(copy->ReadInt32(&first));
    EXPECT_EQ(first, 11);
    EXPECT_EQ(Wire(*copy), Frame(3, 8131, payload));
}

TEST(BmMsgTest, GrowingAWrappedRecordIsReportedAndLeavesTheBytesAlone) {
    AssertionCounter reports;
    Bytes wire = Frame(1, 2, {});
    BmMsg message;
    ASSERT_TRUE(message.Wrap(wire.data(), 8));
    ASSERT_TRUE(message.AppendInt32(5));
    EXPECT_EQ(reports.Count(), 1);
    EXPECT_TRUE(message.OwnsBuffer());
    EXPECT_EQ(wire, Frame(1, 2, {}));
}
