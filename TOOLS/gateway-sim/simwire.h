// The gateway's side of the message format, written on its own from the wire layout (it shares
// no code with the client library, so that a fault in one cannot hide behind the same fault in
// the other): little-endian 8-byte header, items padded to 4 bytes, strings with a 32-bit prefix
// whose bit 31 marks UTF-16LE text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace simwire {

constexpr uint32_t kHeaderBytes = 8;
// The client refuses any message of this many bytes or more, header included.
constexpr uint32_t kClientMessageLimit = 1000000;
constexpr uint32_t kWideFlag = 0x80000000u;
constexpr size_t kPingBytes = 8;
constexpr size_t kPingReplyBytes = 40;
constexpr size_t kPingNameBytes = 28;

constexpr uint16_t kMsgKeepAlive = 16;
constexpr uint16_t kMsgHello = 27;
constexpr uint16_t kMsgVersionRequest = 8128;
constexpr uint16_t kMsgVersionReply = 8129;
constexpr uint16_t kMsgDownloadRequest = 8130;
constexpr uint16_t kMsgFile8131 = 8131;
constexpr uint16_t kMsgFile8132 = 8132;
constexpr uint16_t kMsgFile8149 = 8149;
constexpr uint16_t kMsgFilePiece = 8301;
constexpr uint16_t kMsgEventReport = 9501;

inline constexpr char kConnectLine[] = "CONNECTSERVERHOST\r\n\r\n";
constexpr size_t kConnectLineBytes = sizeof(kConnectLine) - 1;

struct Header {
    uint16_t requestId = 0;
    uint16_t msgId = 0;
    uint32_t length = 0;
};

inline uint32_t RoundUp4(uint32_t n) {
    return (n + 3u) & ~3u;
}

void PutU16(std::string& out, uint16_t value);
void PutU32(std::string& out, uint32_t value);
uint16_t GetU16(const unsigned char* p);
uint32_t GetU32(const unsigned char* p);

// Header bytes of one message.
std::string EncodeHeader(uint16_t requestId, uint16_t msgId, uint32_t length);
// Reads a header from 8 bytes.
Header DecodeHeader(const unsigned char* p);

// Builds one payload item by item; Message() puts the header in front.
class PayloadWriter {
public:
    void Int32(uint32_t value);
    // n bytes, then zero padding to a multiple of 4 (no length item of its own).
    void Bytes(const void* data, size_t n);
    // UTF-8 text encoded as a wide (UTF-16LE) string item.
    void WideString(const std::string& utf8);
    // Bytes as they stand, as a narrow string item.
    void NarrowString(const std::string& bytes);
    const std::string& Payload() const { return payload_; }
    std::string Message(uint16_t requestId, uint16_t msgId) const;

private:
    std::string payload_;
};

// One decoded string item: wide items keep their UTF-16 code units.
struct StringItem {
    bool wide = false;
    std::u16string units;  // wide form
    std::string bytes;     // narrow form
};

// Reads items from a received payload; every read is bounds-checked and a failed read leaves
// the position unchanged.
class PayloadReader {
public:
    PayloadReader(const unsigned char* data, size_t size) : data_(data), size_(size) {}
    bool Int32(uint32_t& out);
    bool Bytes(size_t n, std::string& out);  // n bytes, then skips the padding (if present)
    bool String(StringItem& out);
    size_t Remaining() const { return size_ - pos_; }

private:
    const unsigned char* data_;
    size_t size_;
    size_t pos_ = 0;
};

// UTF-8 to UTF-16 code units (invalid sequences become U+FFFD).
std::u16string Utf8ToUtf16(const std::string& utf8);

// A string item as one printable token: "text" for wide, n"text" for narrow; quote, backslash
// and anything outside printable ASCII are escaped (\xNN for bytes, \uNNNN for code units).
std::string QuoteItem(const StringItem& item);
// Arbitrary bytes as a quoted, escaped token.
std::string QuoteBytes(const std::string& bytes);
std::string HexBytes(const std::string& bytes);

// The 40-byte discovery reply: type 2, the IPv4 address in network order, TCP port (LE 16),
// kind, flags, and the system name in a 28-byte zero-filled field (longer names are cut).
std::string PingReply(uint32_t addressNetworkOrder, uint16_t port, uint8_t kind, uint8_t flags,
                      const std::string& name);

}  // namespace simwire
