// The receive buffer's framing fed an arbitrary byte stream in arbitrary splits, with no socket:
// the bytes go straight into the buffer as a transport's reads would put them there.
// Input: [mode], then chunks: [n][n bytes] appends n bytes (n 1..254); n = 0 ends the stream;
// n = 0xFF appends a run of [24-bit count][byte] filler bytes (up to about 1 MB, to reach the
// buffer's limits).
// Every complete message must be exactly the next bytes of the stream. Mode bit 0: a handler
// reads each message in place (wrapped, every item decoded) while the buffer is pinned.
// Bit 4: every third message the handler drops the connection, as a handler may: the buffer is
// released, opened again with new bytes and released again, 1 to 4 times (bits 2-3), and the
// handler goes on reading its message; the stream then starts afresh.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/recvbuffer.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "COMMON/BM_UTIL/byteorder.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr uint32_t kMaxFiller = (1u << 20) + 64;
// Work one input may cause: a step costs 1 plus one per 4 KB held (every consumed message moves
// the rest down), so that a megabyte of empty messages, which would cost seconds, ends early
// while one megabyte-sized message still gets through.
constexpr int kWorkBudget = 4000;

// Reads every item it can from a message, as a decoding handler does.
void Decode(BmMsg& message) {
    const uint32_t length = message.Length();
    BmString text;
    int32_t value = 0;
    uint8_t block[16];
    for (uint32_t step = 0; step < length / 4 + 2; ++step) {
        bool ok = false;
        switch (step % 3) {
            case 0:
                ok = message.ReadString(text);
                break;
            case 1:
                ok = message.ReadInt32(&value);
                break;
            default:
                ok = message.ReadBytes(block, sizeof block);
                break;
        }
        FUZZ_CHECK(message.Cursor() <= message.Length());
        if (!ok && message.Remaining() == 0) {
            break;
        }
    }
}

void CheckBuffer(const RecvBuffer& buffer) {
    FUZZ_CHECK(buffer.ParsePos() <= buffer.FillLevel());
    FUZZ_CHECK(buffer.FillLevel() <= RecvBuffer::kCapacity);
    if (!buffer.HasBuffer()) {
        FUZZ_CHECK(buffer.FillLevel() == 0 && buffer.ParsePos() == 0);
    }
}

class Session {
public:
    explicit Session(uint8_t mode)
        : inPlace_((mode & 1) != 0), dropLink_((mode & 0x10) != 0), releases_(((mode >> 2) & 3) + 1) {
        FUZZ_CHECK(buffer_.Open());
    }

    ~Session() {
        CheckBuffer(buffer_);
        FUZZ_CHECK(buffer_.RetiredCount() == 0);
    }

    // Appends `bytes` and takes out what is complete. False once the stream is unusable (the
    // transport would disconnect), the buffer is full, or the budget is spent.
    bool Feed(std::span<const uint8_t> bytes) {
        const uint32_t taken = buffer_.Append(bytes);
        stream_.insert(stream_.end(), bytes.begin(), bytes.begin() + taken);
        if (!Drain()) {
            return false;
        }
        return taken == bytes.size() || buffer_.Room() > 0;
    }

    // Takes out every complete message; false when the stream cannot go on.
    bool Drain() {
        while (workLeft_ > 0) {
            workLeft_ -= 1 + static_cast<int>(buffer_.FillLevel() / 4096);
            WireHeader header;
            const RecvBuffer::Status status = buffer_.Inspect(&header);
            CheckBuffer(buffer_);
            if (status == RecvBuffer::kOversized || status == RecvBuffer::kWontFit) {
                FUZZ_CHECK(header.length >= RecvBuffer::kMaxDeclaredLength ||
                           buffer_.ParsePos() + header.length + BmMsg::kHeaderBytes > RecvBuffer::kCapacity);
                buffer_.Release();
                return false;
            }
            if (status == RecvBuffer::kNeedMore) {
                return true;
            }
            TakeMessage();
        }
        return false;
    }

private:
    void TakeMessage() {
        uint32_t available = 0;
        uint8_t* message = buffer_.NextMessage(&available);
        FUZZ_CHECK(message != nullptr && available >= BmMsg::kHeaderBytes);
        const uint32_t size = Load32(std::span<const uint8_t>(message, available), 4) + BmMsg::kHeaderBytes;
        FUZZ_CHECK(size >= BmMsg::kHeaderBytes && size <= available && size < RecvBuffer::kCapacity);
        FUZZ_CHECK(consumed_ + size <= stream_.size());
        FUZZ_CHECK(std::memcmp(message, stream_.data() + consumed_, size) == 0);
        BmMsg record;
        FUZZ_CHECK(record.Wrap(message, available));
        FUZZ_CHECK(record.WireSize() == size);
        const uint32_t generation = buffer_.Generation();
        buffer_.Pin();
        if (inPlace_) {
            Decode(record);
        }
        if (dropLink_ && ++seen_ % 3 == 0) {
            DropAndRemake(message, size);
            record.Rewind();
            Decode(record);  // the bytes must still be there
        }
        if (buffer_.Generation() == generation) {
            FUZZ_CHECK(buffer_.Consume(message, size) == RecvBuffer::kConsumed);
            consumed_ += size;
        }
        buffer_.Unpin();
        FUZZ_CHECK(buffer_.RetiredCount() == 0);
    }

    // As a handler that disconnects (and the link is made again) while reading its message.
    void DropAndRemake(const uint8_t* message, uint32_t size) {
        for (uint32_t i = 0; i < releases_; ++i) {
            buffer_.Release();
            FUZZ_CHECK(buffer_.Open());
            buffer_.Append(std::span<const uint8_t>(message, size < 64 ? size : 64));
        }
        buffer_.Release();
        FUZZ_CHECK(buffer_.RetiredCount() == releases_ + 1);
        FUZZ_CHECK(buffer_.Open());
        stream_.clear();
        consumed_ = 0;
    }

    bool inPlace_;
    bool dropLink_;
    uint32_t releases_;
    RecvBuffer buffer_;
    std::vector<uint8_t> stream_;  // what was appended since the buffer was last opened
    size_t consumed_ = 0;
    int seen_ = 0;
    int workLeft_ = kWorkBudget;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    Session session(in.Byte());
    while (!in.Empty()) {
        const uint8_t code = in.Byte();
        if (code == 0) {
            break;
        }
        if (code == 0xFF) {
            const uint32_t count = (in.U16() | (static_cast<uint32_t>(in.Byte()) << 16)) % kMaxFiller;
            const std::vector<uint8_t> filler(count, in.Byte());
            if (!session.Feed(filler)) {
                break;
            }
            continue;
        }
        const std::vector<uint8_t> chunk = in.Bytes(code);
        if (!session.Feed(chunk)) {
            break;
        }
    }
    return 0;
}
