#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "COMMON/BM_COMM/recvbuffer.h"
#include "tests/BM_COMM/support_comm.h"

namespace {

Bytes Header(uint16_t requestId, uint16_t msgId, uint32_t declared) {
    Bytes out;
    Put16(out, requestId);
    Put16(out, msgId);
    Put32(out, declared);
    return out;
}

Bytes Message(uint16_t requestId, uint32_t payloadBytes) {
    return Frame(requestId, 8129, Bytes(payloadBytes, static_cast<uint8_t>(requestId)));
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Bytes go in as the given chunks; after each one every complete message is taken out and
// consumed, and must be exactly the next bytes of the stream.
struct FramingCase {
    std::string name;
    std::vector<Bytes> chunks;
    std::vector<uint32_t> messageSizes;  // what comes out, in order
    RecvBuffer::Status last;             // what the rest is at the end
    uint32_t fillAfter;                  // bytes still held at the end
};

const Bytes kFour = Message(1, 4);  // 12 bytes

std::vector<FramingCase> FramingCases() {
    return {
        {"WholeMessage", {kFour}, {12}, RecvBuffer::kNeedMore, 0},
        {"SplitInsideHeaderAndPayload",
         {Bytes(kFour.begin(), kFour.begin() + 1), Bytes(kFour.begin() + 1, kFour.begin() + 9),
          Bytes(kFour.begin() + 9, kFour.end())},
         {12},
         RecvBuffer::kNeedMore,
         0},
        {"SeveralInOneAppend",
         {Join({kFour, Message(2, 0), Message(3, 20)})},
         {12, 8, 28},
         RecvBuffer::kNeedMore,
         0},
        {"TruncatedPayloadWaits",
         {Join({kFour, Header(2, 8129, 16), Bytes(5, 0)})},
         {12},
         RecvBuffer::kNeedMore,
         13},
        {"SevenBytesAreNoHeader", {Bytes(kFour.begin(), kFour.begin() + 7)}, {}, RecvBuffer::kNeedMore, 7},
        {"RemainderAfterTheParsePositionIsKept",
         {Join({kFour, Bytes(3, 9)})},
         {12},
         RecvBuffer::kNeedMore,
         3},
        {"LargestDeclaredLengthWaits",
         {Header(1, 8131, RecvBuffer::kMaxDeclaredLength - 1)},
         {},
         RecvBuffer::kNeedMore,
         8},
        {"DeclaredLengthThatCannotFit",
         {Header(1, 8131, RecvBuffer::kMaxDeclaredLength)},
         {},
         RecvBuffer::kOversized,
         8},
        {"DeclaredLengthThatWouldWrap",
         {Join({kFour, Header(1, 8131, 0xFFFFFFF9u)})},
         {12},
         RecvBuffer::kOversized,
         8},
    };
}

class RecvBufferFraming : public ::testing::TestWithParam<FramingCase> {};

}  // namespace

TEST_P(RecvBufferFraming, MessagesAreTheStreamInOrder) {
    const FramingCase& c = GetParam();
    RecvBuffer buffer;
    ASSERT_TRUE(buffer.Open());
    Bytes stream;
    size_t consumed = 0;
    std::vector<uint32_t> sizes;
    for (const Bytes& chunk : c.chunks) {
        ASSERT_EQ(buffer.Append(chunk), chunk.size());
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        while (buffer.Inspect(nullptr) == RecvBuffer::kReady) {
            uint32_t available = 0;
            uint8_t* message = buffer.NextMessage(&available);
            ASSERT_NE(message, nullptr);
            const uint32_t size = buffer.ParsePos();  // every message is consumed: it starts at 0
            ASSERT_LE(size, available);
            ASSERT_LE(consumed + size, stream.size());
            EXPECT_EQ(0, std::memcmp(message, stream.data() + consumed, size));
            ASSERT_EQ(buffer.Consume(message, size), RecvBuffer::kConsumed);
            consumed += size;
            sizes.push_back(size);
        }
    }
    EXPECT_EQ(sizes, c.messageSizes);
    EXPECT_EQ(buffer.Inspect(nullptr), c.last);
    EXPECT_EQ(buffer.FillLevel(), c.fillAfter);
    EXPECT_EQ(buffer.ParsePos(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, RecvBufferFraming, ::testing::ValuesIn(FramingCases()),
                         [](const auto& row) { return row.param.name; });

TEST(RecvBuffer, HeaderIsReportedBeforeTheMessageIsWhole) {
    RecvBuffer buffer;
    ASSERT_TRUE(buffer.Open());
    buffer.Append(Join({Header(7, 8301, 100), Bytes(40, 0)}));
    WireHeader header;
    EXPECT_EQ(buffer.Inspect(&header), RecvBuffer::kNeedMore);
    EXPECT_EQ(header.requestId, 7u);
    EXPECT_EQ(header.msgId, 8301u);
    EXPECT_EQ(header.length, 100u);
    EXPECT_EQ(buffer.Held(), 48u);
}

TEST(RecvBuffer, MessageBehindALongUnconsumedOneCannotFit) {
    RecvBuffer buffer;
    ASSERT_TRUE(buffer.Open());
    buffer.Append(Message(1, 600000));
    ASSERT_EQ(buffer.Inspect(nullptr), RecvBuffer::kReady);
    ASSERT_NE(buffer.NextMessage(nullptr), nullptr);  // read, not yet consumed
    buffer.Append(Header(2, 8131, 400000));
    EXPECT_EQ(buffer.Inspect(nullptr), RecvBuffer::kWontFit);
    // The buffer never takes more than it holds.
    EXPECT_EQ(buffer.Append(Bytes(500000, 0)), RecvBuffer::kCapacity - 600016);
    EXPECT_EQ(buffer.Room(), 0u);
}

TEST(RecvBuffer, ShortRemainderBeforeTheParsePositionIsDropped) {
    RecvBuffer buffer;
    ASSERT_TRUE(buffer.Open());
    buffer.Append(kFour);
    uint8_t* message = buffer.NextMessage(nullptr);
    ASSERT_EQ(buffer.Consume(message, 8), RecvBuffer::kConsumed);  // 4 bytes left, all read
    EXPECT_EQ(buffer.FillLevel(), 0u);
    EXPECT_EQ(buffer.ParsePos(), 0u);

    buffer.Append(kFour);
    message = buffer.NextMessage(nullptr);
    EXPECT_EQ(buffer.Consume(message, 13), RecvBuffer::kPastEnd);
    EXPECT_EQ(buffer.Consume(message + 12, 1), RecvBuffer::kOutside);
    EXPECT_EQ(buffer.FillLevel(), 12u);
}

// Resident pages of [from, to) of the block starting at `block` (page-aligned).
size_t ResidentPages(uint8_t* block, uint32_t from, uint32_t to) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> pages((to - from + page - 1) / page);
    if (mincore(block + from, to - from, pages.data()) != 0) {
        return SIZE_MAX;
    }
    size_t resident = 0;
    for (unsigned char p : pages) {
        resident += p & 1;
    }
    return resident;
}

// A large message does not keep its pages once the buffer is empty; the first ones stay.
TEST(RecvBuffer, EmptyBufferGivesItsPagesBack) {
    RecvBuffer buffer;
    ASSERT_TRUE(buffer.Open());
    uint8_t* block = buffer.Tail();
    const uint32_t kept = RecvBuffer::kKeptResidentBytes;
    const Bytes big = Message(1, 600000);
    buffer.Append(big);
    EXPECT_GT(ResidentPages(block, kept, 600000), 100u);
    uint8_t* message = buffer.NextMessage(nullptr);
    ASSERT_EQ(buffer.Consume(message, static_cast<uint32_t>(big.size())), RecvBuffer::kConsumed);
    EXPECT_EQ(ResidentPages(block, kept, 600000), 0u);
    EXPECT_EQ(ResidentPages(block, 0, kept), kept / static_cast<uint32_t>(sysconf(_SC_PAGESIZE)));
    buffer.Append(big);  // and the block still works
    EXPECT_EQ(0, std::memcmp(buffer.NextMessage(nullptr), big.data(), big.size()));
}

// A handler drops the link, connects again (new bytes arrive) and drops it again while the
// message it reads is pinned: both blocks live until the dispatch ends.
TEST(RecvBuffer, TwoReleasesWhilePinnedKeepTheMessage) {
    RecvBuffer buffer;
    ASSERT_TRUE(buffer.Open());
    buffer.Append(kFour);
    const uint32_t generation = buffer.Generation();
    uint8_t* message = buffer.NextMessage(nullptr);
    buffer.Pin();
    buffer.Release();
    ASSERT_TRUE(buffer.Open());
    buffer.Append(Message(2, 8));
    buffer.Release();
    EXPECT_EQ(buffer.Generation(), generation + 2);
    EXPECT_EQ(buffer.RetiredCount(), 2u);
    EXPECT_EQ(0, std::memcmp(message, kFour.data(), kFour.size()));
    buffer.Unpin();
    EXPECT_EQ(buffer.RetiredCount(), 0u);
    EXPECT_FALSE(buffer.HasBuffer());
    EXPECT_EQ(buffer.FillLevel(), 0u);
}
