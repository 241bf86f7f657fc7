// BmMsg: one gateway message held as its wire image: an 8-byte little-endian header (16-bit
// request id, 16-bit message id, 32-bit payload length) followed by the payload, a sequence of
// 32-bit integers, byte blocks and length-prefixed strings, each padded to 4 bytes.
// A record built for sending owns its block; one made by Wrap reads received bytes in place.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

class BmString;

// Request ids.
constexpr uint16_t REQUEST_ID_NONE = 0;      // no requester (unsolicited, or the client's own)
constexpr uint16_t REQUEST_ID_ALL = 0x7FFF;  // every listener; as a poll filter, any request id

// Message ids.
constexpr uint16_t MSG_KEEPALIVE = 16;
constexpr uint16_t MSG_HELLO = 27;
constexpr uint16_t MSG_VERSION_REQUEST = 8128;
constexpr uint16_t MSG_VERSION_REPLY = 8129;
constexpr uint16_t MSG_DOWNLOAD_REQUEST = 8130;
constexpr uint16_t MSG_FILE_8131 = 8131;
constexpr uint16_t MSG_FILE_8132 = 8132;
constexpr uint16_t MSG_FILE_8149 = 8149;
constexpr uint16_t MSG_FILE_PIECE = 8301;
constexpr uint16_t MSG_EVENT_REPORT = 9501;

// The 8-byte header that starts every message on the wire.
struct WireHeader {
    uint16_t requestId = 0;
    uint16_t msgId = 0;
    uint32_t length = 0;  // payload bytes that follow the header
};

class BmMsg {
public:
    static constexpr uint32_t kHeaderBytes = 8;
    static constexpr uint32_t kMaxPayload = 1000000;    // largest payload a record takes
    static constexpr uint32_t kMaxWireString = 10000;   // longer received strings read as empty
    static constexpr uint32_t kGrowthStep = 512;        // blocks grow in these steps
    static constexpr uint32_t kWideFlag = 0x80000000u;  // string prefix bit: UTF-16LE text

    // An empty record with no block, request and message id 0xFFFF (ready for Wrap).
    BmMsg();
    // A record for sending. With `initialLength` <= kMaxPayload it owns a block holding that
    // many (uninitialised) payload bytes; otherwise it has no block and length 0.
    BmMsg(uint16_t requestId, uint16_t msgId, uint32_t initialLength = 0);
    BmMsg(const BmMsg&) = delete;
    BmMsg& operator=(const BmMsg&) = delete;
    virtual ~BmMsg();

    // Reads the header at the start of `wire` into `header`; false (header untouched) when
    // fewer than kHeaderBytes bytes are given. The declared length is not checked here.
    static bool ParseHeader(std::span<const uint8_t> wire, WireHeader* header);

    // Makes this record read the message at `wire`, of which `available` bytes exist. The
    // header is trusted only within them: a declared length above kMaxPayload, or more than
    // `available` - 8, leaves the record without a block, ids 0xFFFF, length 0; false then.
    // The record does not own the bytes and must not outlive them.
    bool Wrap(void* wire, uint32_t available);

    // A deep copy that owns its block and reads from the start. The caller owns it.
    std::unique_ptr<BmMsg> Clone();

    uint16_t RequestId() const { return requestId_; }
    uint16_t MsgId() const { return msgId_; }
    uint32_t Length() const { return length_; }
    // Sets the request id (record and header); no effect on a record without a block.
    void SetRequestId(uint16_t requestId);
    // The payload (byte 8 of the block), or null without a block.
    const uint8_t* Payload() const;
    void Rewind() { cursor_ = 0; }
    uint32_t WireSize() const { return length_ + kHeaderBytes; }
    // Header (request id and length refreshed) followed by the payload, ready to send.
    const uint8_t* WireBytes();

    // Appends; false (record unchanged) when the block cannot grow.
    bool AppendInt32(int32_t value);
    bool AppendBytes(const void* bytes, uint32_t count);  // padded to 4; padding bytes undefined
    bool AppendString(const BmString& text);              // in the text's current form

    // Reads at the cursor. A read that would pass the payload fails, sets readError and
    // consumes nothing. `out` may be null to skip a value.
    bool ReadInt32(int32_t* out);
    bool ReadBytes(void* destination, uint32_t count);  // the cursor skips the padding too
    // Reads one string item into `text` in the form it was sent. Fails at once after any earlier
    // read error; a text of more than kMaxWireString bytes is skipped and read as empty.
    bool ReadString(BmString& text);

    // Inspection.
    uint32_t Cursor() const { return cursor_; }
    uint32_t Capacity() const { return capacity_; }
    uint32_t Remaining() const { return length_ > cursor_ ? length_ - cursor_ : 0; }
    bool OwnsBuffer() const { return ownsBuffer_; }
    bool ReadError() const { return readError_; }

private:
    bool Reserve(uint32_t payloadBytes);
    void WriteHeader(uint8_t* header) const;
    void Advance(uint32_t count);

    uint16_t requestId_;
    uint16_t msgId_;
    uint32_t length_;
    uint8_t* buffer_ = nullptr;
    uint32_t capacity_ = 0;
    uint32_t cursor_ = 0;
    bool ownsBuffer_ = false;
    bool readError_ = false;
    uint8_t headerImage_[kHeaderBytes] = {};  // WireBytes of a record without a block
};

// Rounds a byte count up to the next multiple of 4.
constexpr uint32_t RoundUp4(uint32_t n) {
    return (n + 3u) & ~3u;
}
