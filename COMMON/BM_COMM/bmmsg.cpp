#include "COMMON/BM_COMM/bmmsg.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "COMMON/BM_UTIL/bmassert.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "COMMON/BM_UTIL/byteorder.h"

namespace {

constexpr uint16_t kInvalidId = 0xFFFF;
// Growth stops well short of 32-bit overflow of the capacity arithmetic.
constexpr uint32_t kMaxReserve = 0x7FFF0000u;

}  // namespace

bool BmMsg::ParseHeader(std::span<const uint8_t> wire, WireHeader* header) {
    if (wire.size() < kHeaderBytes) {
        return false;
    }
    header->requestId = Load16(wire, 0);
    header->msgId = Load16(wire, 2);
    header->length = Load32(wire, 4);
    return true;
}

BmMsg::BmMsg() : requestId_(kInvalidId), msgId_(kInvalidId), length_(0) {}

BmMsg::BmMsg(uint16_t requestId, uint16_t msgId, uint32_t initialLength)
    : requestId_(requestId), msgId_(msgId), length_(0) {
    if (initialLength <= kMaxPayload) {
        ownsBuffer_ = true;
        length_ = initialLength;
        Reserve(initialLength);
    }
}

BmMsg::~BmMsg() {
    if (ownsBuffer_ && buffer_ != nullptr) {
        std::free(buffer_);
    }
}

bool BmMsg::Wrap(void* wire, uint32_t available) {
    if (ownsBuffer_ && buffer_ != nullptr) {
        std::free(buffer_);
    }
    requestId_ = msgId_ = kInvalidId;
    length_ = 0;
    buffer_ = nullptr;
    capacity_ = 0;
    cursor_ = 0;
    ownsBuffer_ = false;
    readError_ = false;
    if (wire == nullptr || available < kHeaderBytes) {
        return false;
    }
    auto* bytes = static_cast<uint8_t*>(wire);
    WireHeader header;
    ParseHeader({bytes, available}, &header);
    const uint32_t declared = header.length;
    if (declared > kMaxPayload || declared > available - kHeaderBytes) {
        return false;
    }
    requestId_ = header.requestId;
    msgId_ = header.msgId;
    length_ = declared;
    buffer_ = bytes;
    capacity_ = declared + kHeaderBytes;
    return true;
}

std::unique_ptr<BmMsg> BmMsg::Clone() {
    auto copy = std::make_unique<BmMsg>(requestId_, msgId_, length_);
    if (copy->buffer_ == nullptr) {
        // Only a payload the constructor refuses lands here, which no record can hold.
        return copy;
    }
    std::memcpy(copy->buffer_, WireBytes(), WireSize());
    return copy;
}

void BmMsg::SetRequestId(uint16_t requestId) {
    if (buffer_ == nullptr) {
        return;
    }
    requestId_ = requestId;
    Store16({buffer_, capacity_}, 0, requestId);
}

const uint8_t* BmMsg::Payload() const {
    return capacity_ == 0 ? nullptr : buffer_ + kHeaderBytes;
}

const uint8_t* BmMsg::WireBytes() {
    if (buffer_ == nullptr) {
        WriteHeader(headerImage_);
        return headerImage_;
    }
    const std::span<uint8_t> block{buffer_, capacity_};
    Store16(block, 0, requestId_);
    Store32(block, 4, length_);
    return buffer_;
}

void BmMsg::WriteHeader(uint8_t* header) const {
    const std::span<uint8_t, kHeaderBytes> out{header, kHeaderBytes};
    Store16(out, 0, requestId_);
    Store16(out, 2, msgId_);
    Store32(out, 4, length_);
}

bool BmMsg::Reserve(uint32_t payloadBytes) {
    if (payloadBytes > kMaxReserve) {
        return false;
    }
    const uint32_t needed = payloadBytes + kHeaderBytes;
    if (capacity_ >= needed) {
        return true;
    }
    if (!ownsBuffer_) {
        BM_ASSERT_REPORT();  // growing a block someone else owns; the old one is left alone
    }
    const uint32_t newCapacity = (needed / kGrowthStep + 1) * kGrowthStep;
    auto* block = static_cast<uint8_t*>(std::malloc(newCapacity));
    if (block == nullptr) {
        return false;
    }
    if (buffer_ != nullptr) {
        std::memcpy(block, buffer_, capacity_);
        if (ownsBuffer_) {
            std::free(buffer_);
        }
    } else {
        WriteHeader(block);
    }
    buffer_ = block;
    capacity_ = newCapacity;
    ownsBuffer_ = true;
    return true;
}

void BmMsg::Advance(uint32_t count) {
    // Padding missing at the very end of a payload must not carry the cursor past it.
    const uint32_t rest = Remaining();
    cursor_ += count < rest ? count : rest;
}

bool BmMsg::AppendInt32(int32_t value) {
    if (!Reserve(length_ + 4)) {
        return false;
    }
    Store32({buffer_, capacity_}, kHeaderBytes + cursor_, static_cast<uint32_t>(value));
    cursor_ += 4;
    length_ = cursor_;
    return true;
}

bool BmMsg::AppendBytes(const void* bytes, uint32_t count) {
    if (count > kMaxReserve) {
        return false;
    }
    const uint32_t padded = RoundUp4(count);
    if (!Reserve(length_ + padded)) {
        return false;
    }
    if (count > 0) {
        std::memcpy(buffer_ + kHeaderBytes + cursor_, bytes, count);
    }
    cursor_ += padded;
    length_ = cursor_;
    return true;
}

bool BmMsg::AppendString(const BmString& text) {
    const bool wide = text.Form() == Wide;
    const int32_t chars = text.Length();
    const uint32_t byteCount = static_cast<uint32_t>(chars > 0 ? chars : 0) * (wide ? 2u : 1u);
    const uint32_t padded = RoundUp4(byteCount);
    if (!Reserve(length_ + padded + 4)) {
        return false;
    }
    AppendInt32(static_cast<int32_t>(byteCount | (wide ? kWideFlag : 0u)));
    uint8_t* at = buffer_ + kHeaderBytes + cursor_;
    if (byteCount > 0) {
        std::memcpy(at, text.Buffer(), byteCount);
    }
    std::memset(at + byteCount, 0, padded - byteCount);
    cursor_ += padded;
    length_ = cursor_;
    return true;
}

bool BmMsg::ReadInt32(int32_t* out) {
    if (Remaining() < 4 || buffer_ == nullptr) {
        readError_ = true;
        return false;
    }
    if (out != nullptr) {
        *out = static_cast<int32_t>(Load32({buffer_, capacity_}, kHeaderBytes + cursor_));
    }
    cursor_ += 4;
    return true;
}

bool BmMsg::ReadBytes(void* destination, uint32_t count) {
    if (Remaining() < count || (count > 0 && buffer_ == nullptr)) {
        readError_ = true;
        return false;
    }
    if (count > 0 && destination != nullptr) {
        std::memcpy(destination, buffer_ + kHeaderBytes + cursor_, count);
    }
    Advance(RoundUp4(count));
    return true;
}

bool BmMsg::ReadString(BmString& text) {
    if (readError_) {
        return false;
    }
    readError_ = true;  // cleared only when the whole item was read
    int32_t prefix = 0;
    if (!ReadInt32(&prefix)) {
        return false;
    }
    const uint32_t raw = static_cast<uint32_t>(prefix);
    const bool wide = (raw & kWideFlag) != 0;
    const uint32_t byteCount = raw & ~kWideFlag;
    if (byteCount > length_ || byteCount > Remaining()) {
        return false;
    }
    if (byteCount == 0 || byteCount > kMaxWireString) {
        text.Clear();
        Advance(RoundUp4(byteCount));
        readError_ = false;
        return true;
    }
    const uint32_t chars = wide ? byteCount / 2 : byteCount;
    const uint32_t unit = wide ? 2 : 1;
    // Text plus terminator; an odd wide byte count drops its last half unit.
    std::vector<uint8_t> image((chars + 1) * unit, 0);
    std::memcpy(image.data(), buffer_ + kHeaderBytes + cursor_, chars * unit);
    text.Clear();
    if (!text.SetBytes(wide ? Wide : Narrow, static_cast<int32_t>(image.size()), image.data())) {
        return false;
    }
    Advance(RoundUp4(byteCount));
    readError_ = false;
    return true;
}
