// RecvBuffer: the received byte stream of one connection, in which complete messages are found by
// their header. Bytes are appended at the end, taken out as whole messages from the parse position
// and removed by moving the rest down. It knows no socket: whoever reads the stream feeds it.
// A message handed to a handler is read in place; pinning keeps its bytes alive even when the
// connection drops (and is made again) before the handler is done. Whenever the buffer empties,
// its pages past the first kKeptResidentBytes go back to the system.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "COMMON/BM_COMM/bmmsg.h"

class RecvBuffer {
public:
    static constexpr uint32_t kCapacity = 1000000;
    // Declared payload lengths from this on can never fit the buffer with their header.
    static constexpr uint32_t kMaxDeclaredLength = kCapacity - BmMsg::kHeaderBytes;  // 999992
    // A remainder this short that lies wholly before the parse position is dropped on consume.
    static constexpr uint32_t kMaxDroppedRemainder = BmMsg::kHeaderBytes - 1;
    // Pages of the block that stay in memory while the buffer is empty (a page multiple).
    static constexpr uint32_t kKeptResidentBytes = 64 * 1024;

    // What the bytes at the parse position are.
    enum Status {
        kNeedMore,   // fewer than a header, or a message not yet complete
        kReady,      // a complete message
        kOversized,  // a declared length no buffer holds: the stream is unusable
        kWontFit,    // a message that cannot fit behind the parse position
    };
    enum ConsumeResult { kConsumed, kOutside, kPastEnd };

    RecvBuffer() = default;
    RecvBuffer(const RecvBuffer&) = delete;
    RecvBuffer& operator=(const RecvBuffer&) = delete;
    ~RecvBuffer();

    // Makes sure a block of kCapacity bytes exists and empties it. False when it cannot be had.
    bool Open();
    // Drops every byte and the block. A pinned block is retired, not freed, until the last
    // Unpin; the generation changes whenever a block is dropped.
    void Release();
    bool HasBuffer() const { return block_ != nullptr; }

    // Where the next received bytes go (null without a block) and how many fit.
    uint8_t* Tail() { return block_ == nullptr ? nullptr : block_ + fillLevel_; }
    uint32_t Room() const { return block_ == nullptr ? 0 : kCapacity - fillLevel_; }
    // `count` bytes were written at Tail (clamped to Room).
    void Commit(uint32_t count);
    // Copies as many of `bytes` as fit to the end; returns how many were taken.
    uint32_t Append(std::span<const uint8_t> bytes);

    // Checks the message at the parse position. `header` receives its header when at least one
    // is held (else it is left untouched), so progress can be reported before the message is whole.
    Status Inspect(WireHeader* header) const;
    // The message at the parse position, advanced past (never past the data held, whatever its
    // header says); `available` gets the bytes held from its start. Null with fewer than 8 held.
    uint8_t* NextMessage(uint32_t* available);
    // Removes `count` bytes at `message` by moving the bytes behind them down. kOutside: the
    // message is not in the held data, nothing changes; kPastEnd: `count` runs past the data.
    ConsumeResult Consume(uint8_t* message, uint32_t count);

    // A handler reads a message in place between Pin and Unpin.
    void Pin() { ++pins_; }
    void Unpin();
    uint32_t Generation() const { return generation_; }

    uint32_t ParsePos() const { return parsePos_; }
    uint32_t FillLevel() const { return fillLevel_; }
    uint32_t Held() const { return fillLevel_ - parsePos_; }  // bytes from the parse position on
    size_t RetiredCount() const { return retired_.size(); }

private:
    // Drops the pages written past kKeptResidentBytes; only while nothing is held there.
    void GiveBackPages();

    uint8_t* block_ = nullptr;
    uint32_t touched_ = 0;  // bytes of the block written since its pages were last given back
    uint32_t parsePos_ = 0;
    uint32_t fillLevel_ = 0;
    uint32_t pins_ = 0;
    uint32_t generation_ = 0;
    // Every pinned block dropped during one dispatch: a handler may disconnect, reconnect and
    // disconnect again while the message it reads lies in the first.
    std::vector<uint8_t*> retired_;
};
