#include "COMMON/BM_COMM/recvbuffer.h"

#include <sys/mman.h>

#include <cstring>

namespace {

// The block is mapped on its own, so that pages never written take no memory and pages given
// back return to the system at once.
uint8_t* MapBlock() {
    void* block =
        ::mmap(nullptr, RecvBuffer::kCapacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : static_cast<uint8_t*>(block);
}

void UnmapBlock(uint8_t* block) {
    ::munmap(block, RecvBuffer::kCapacity);
}

}  // namespace

RecvBuffer::~RecvBuffer() {
    if (block_ != nullptr) {
        UnmapBlock(block_);
    }
    for (uint8_t* old : retired_) {
        UnmapBlock(old);
    }
}

bool RecvBuffer::Open() {
    if (block_ == nullptr) {
        block_ = MapBlock();
        touched_ = 0;
    }
    parsePos_ = fillLevel_ = 0;
    GiveBackPages();
    return block_ != nullptr;
}

void RecvBuffer::GiveBackPages() {
    if (block_ != nullptr && touched_ > kKeptResidentBytes) {
        ::madvise(block_ + kKeptResidentBytes, touched_ - kKeptResidentBytes, MADV_DONTNEED);
    }
    touched_ = touched_ < kKeptResidentBytes ? touched_ : kKeptResidentBytes;
}

void RecvBuffer::Release() {
    parsePos_ = fillLevel_ = 0;
    if (block_ == nullptr) {
        return;
    }
    if (pins_ > 0) {
        retired_.push_back(block_);  // a message in it is still being read
    } else {
        UnmapBlock(block_);
    }
    block_ = nullptr;
    ++generation_;
}

void RecvBuffer::Unpin() {
    if (pins_ > 0 && --pins_ == 0) {
        for (uint8_t* old : retired_) {
            UnmapBlock(old);
        }
        retired_.clear();
    }
}

void RecvBuffer::Commit(uint32_t count) {
    const uint32_t room = Room();
    fillLevel_ += count < room ? count : room;
    touched_ = fillLevel_ > touched_ ? fillLevel_ : touched_;
}

uint32_t RecvBuffer::Append(std::span<const uint8_t> bytes) {
    const uint32_t room = Room();
    const uint32_t taken = bytes.size() < room ? static_cast<uint32_t>(bytes.size()) : room;
    if (taken > 0) {
        std::memcpy(Tail(), bytes.data(), taken);
        fillLevel_ += taken;
        touched_ = fillLevel_ > touched_ ? fillLevel_ : touched_;
    }
    return taken;
}

RecvBuffer::Status RecvBuffer::Inspect(WireHeader* header) const {
    WireHeader found;
    if (block_ == nullptr || !BmMsg::ParseHeader({block_ + parsePos_, Held()}, &found)) {
        return kNeedMore;
    }
    if (header != nullptr) {
        *header = found;
    }
    // Tested on the length itself, so that no declared length can wrap the sums below.
    if (found.length >= kMaxDeclaredLength) {
        return kOversized;
    }
    if (Held() >= found.length + BmMsg::kHeaderBytes) {
        return kReady;
    }
    if (parsePos_ + found.length + BmMsg::kHeaderBytes > kCapacity) {
        return kWontFit;
    }
    return kNeedMore;
}

uint8_t* RecvBuffer::NextMessage(uint32_t* available) {
    const uint32_t held = Held();
    WireHeader header;
    if (block_ == nullptr || !BmMsg::ParseHeader({block_ + parsePos_, held}, &header)) {
        if (available != nullptr) {
            *available = 0;
        }
        return nullptr;
    }
    uint8_t* message = block_ + parsePos_;
    const uint32_t size = header.length + BmMsg::kHeaderBytes;
    if (available != nullptr) {
        *available = held;
    }
    parsePos_ += size <= held && size >= BmMsg::kHeaderBytes ? size : held;
    return message;
}

RecvBuffer::ConsumeResult RecvBuffer::Consume(uint8_t* message, uint32_t count) {
    if (block_ == nullptr || message < block_ || message >= block_ + fillLevel_) {
        return kOutside;
    }
    const uint32_t offset = static_cast<uint32_t>(message - block_);
    if (count > fillLevel_ - offset) {
        return kPastEnd;
    }
    std::memmove(message, message + count, fillLevel_ - offset - count);
    parsePos_ = parsePos_ >= count ? parsePos_ - count : 0;
    fillLevel_ -= count;
    if (parsePos_ == fillLevel_ && parsePos_ >= 1 && parsePos_ <= kMaxDroppedRemainder) {
        parsePos_ = fillLevel_ = 0;
    }
    if (fillLevel_ == 0) {
        GiveBackPages();
    }
    return kConsumed;
}
