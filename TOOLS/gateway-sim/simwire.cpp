#include "TOOLS/gateway-sim/simwire.h"

#include <cstdio>
#include <cstring>

namespace simwire {

void PutU16(std::string& out, uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

void PutU32(std::string& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

uint16_t GetU16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t GetU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string EncodeHeader(uint16_t requestId, uint16_t msgId, uint32_t length) {
    std::string out;
    out.reserve(kHeaderBytes);
    PutU16(out, requestId);
    PutU16(out, msgId);
    PutU32(out, length);
    return out;
}

Header DecodeHeader(const unsigned char* p) {
    Header h;
    h.requestId = GetU16(p);
    h.msgId = GetU16(p + 2);
    h.length = GetU32(p + 4);
    return h;
}

void PayloadWriter::Int32(uint32_t value) {
    PutU32(payload_, value);
}

void PayloadWriter::Bytes(const void* data, size_t n) {
    payload_.append(static_cast<const char*>(data), n);
    payload_.append(RoundUp4(static_cast<uint32_t>(n)) - n, '\0');
}

void PayloadWriter::WideString(const std::string& utf8) {
    const std::u16string units = Utf8ToUtf16(utf8);
    const uint32_t byteCount = static_cast<uint32_t>(units.size() * 2);
    Int32(byteCount | kWideFlag);
    std::string bytes;
    bytes.reserve(byteCount);
    for (char16_t unit : units) {
        PutU16(bytes, static_cast<uint16_t>(unit));
    }
    Bytes(bytes.data(), bytes.size());
}

void PayloadWriter::NarrowString(const std::string& bytes) {
    Int32(static_cast<uint32_t>(bytes.size()) & ~kWideFlag);
    Bytes(bytes.data(), bytes.size());
}

std::string PayloadWriter::Message(uint16_t requestId, uint16_t msgId) const {
    return EncodeHeader(requestId, msgId, static_cast<uint32_t>(payload_.size())) + payload_;
}

bool PayloadReader::Int32(uint32_t& out) {
    if (Remaining() < 4) {
        return false;
    }
    out = GetU32(data_ + pos_);
    pos_ += 4;
    return true;
}

bool PayloadReader::Bytes(size_t n, std::string& out) {
    if (Remaining() < n) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(data_ + pos_), n);
    const size_t padded = RoundUp4(static_cast<uint32_t>(n));
    pos_ += padded <= Remaining() ? padded : n;
    return true;
}

bool PayloadReader::String(StringItem& out) {
    const size_t start = pos_;
    uint32_t prefix = 0;
    if (!Int32(prefix)) {
        return false;
    }
    const bool wide = (prefix & kWideFlag) != 0;
    const uint32_t byteCount = prefix & ~kWideFlag;
    std::string bytes;
    if (!Bytes(byteCount, bytes)) {
        pos_ = start;
        return false;
    }
    out = StringItem{};
    out.wide = wide;
    if (!wide) {
        out.bytes = std::move(bytes);
        return true;
    }
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        out.units.push_back(static_cast<char16_t>(GetU16(reinterpret_cast<const unsigned char*>(&bytes[i]))));
    }
    return true;
}

namespace {

// Decodes one UTF-8 sequence at `i`; returns the code point or 0xFFFD and advances `i`.
uint32_t NextCodePoint(const std::string& s, size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i++]);
    if (b0 < 0x80) {
        return b0;
    }
    int extra = 0;
    uint32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        cp = b0 & 0x07;
    } else {
        return 0xFFFD;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    return cp > 0x10FFFF ? 0xFFFD : cp;
}

void AppendEscapedUnit(std::string& out, uint32_t unit, bool wide) {
    if (unit == '"' || unit == '\\') {
        out.push_back('\\');
        out.push_back(static_cast<char>(unit));
    } else if (unit >= 0x20 && unit < 0x7F) {
        out.push_back(static_cast<char>(unit));
    } else {
        char buf[8];
        std::snprintf(buf, sizeof buf, wide ? "\\u%04X" : "\\x%02X", static_cast<unsigned>(unit));
        out += buf;
    }
}

}  // namespace

std::u16string Utf8ToUtf16(const std::string& utf8) {
    std::u16string out;
    size_t i = 0;
    while (i < utf8.size()) {
        uint32_t cp = NextCodePoint(utf8, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string QuoteItem(const StringItem& item) {
    if (!item.wide) {
        return "n" + QuoteBytes(item.bytes);
    }
    std::string out = "\"";
    for (char16_t unit : item.units) {
        AppendEscapedUnit(out, unit, true);
    }
    return out + "\"";
}

std::string QuoteBytes(const std::string& bytes) {
    std::string out = "\"";
    for (char c : bytes) {
        AppendEscapedUnit(out, static_cast<unsigned char>(c), false);
    }
    return out + "\"";
}

std::string HexBytes(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0xF]);
    }
    return out.empty() ? "-" : out;
}

std::string PingReply(uint32_t addressNetworkOrder, uint16_t port, uint8_t kind, uint8_t flags,
                      const std::string& name) {
    std::string out;
    out.reserve(kPingReplyBytes);
    PutU32(out, 2);
    out.append(reinterpret_cast<const char*>(&addressNetworkOrder), 4);
    PutU16(out, port);
    out.push_back(static_cast<char>(kind));
    out.push_back(static_cast<char>(flags));
    std::string field = name.substr(0, kPingNameBytes);
    field.resize(kPingNameBytes, '\0');
    out += field;
    return out;
}

}  // namespace simwire
