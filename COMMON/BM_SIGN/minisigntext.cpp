#include "COMMON/BM_SIGN/minisigntext.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {
constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr size_t kAlgorithmBytes = 2;
constexpr size_t kKeyBlobBytes = kAlgorithmBytes + kKeyIdBytes + kPublicKeyBytes;
constexpr size_t kSignatureBlobBytes = kAlgorithmBytes + kKeyIdBytes + kSignatureBytes;

// Splits at LF. `complete` tells whether the text ended with one (no part after the last LF).
// A CR right before an LF belongs to the line end, as minisign trims it.
std::vector<std::string_view> SplitLines(std::string_view text, bool* complete) {
    std::vector<std::string_view> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t lf = text.find('\n', at);
        if (lf == std::string_view::npos) {
            lines.push_back(text.substr(at));
            *complete = false;
            return lines;
        }
        std::string_view line = text.substr(at, lf - at);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        at = lf + 1;
    }
    *complete = true;
    return lines;
}

// Exactly `count` bytes from the whole of `b64` (standard alphabet, padded, nothing ignored).
bool DecodeExactly(std::string_view b64, uint8_t* out, size_t count) {
    if (b64.empty()) {
        return false;
    }
    std::vector<uint8_t> buffer(count + 3);
    size_t length = 0;
    const char* end = nullptr;
    return sodium_base642bin(buffer.data(), buffer.size(), b64.data(), b64.size(), nullptr, &length, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           end == b64.data() + b64.size() && length == count &&
           (std::memcpy(out, buffer.data(), count), true);
}

bool StartsWith(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

bool Fail(std::string* why, const std::string& text) {
    if (why != nullptr) {
        *why = text;
    }
    return false;
}
}  // namespace

bool ParseMinisignPublicKey(std::string_view text, MinisignPublicKey& key, std::string* why) {
    if (text.size() > kMaxKeyFileBytes) {
        return Fail(why, "larger than " + std::to_string(kMaxKeyFileBytes) + " bytes");
    }
    if (text.find('\0') != std::string_view::npos) {
        return Fail(why, "holds a NUL byte");
    }
    bool complete = false;
    const std::vector<std::string_view> lines = SplitLines(text, &complete);
    if (lines.empty() || !StartsWith(lines[0], kUntrustedPrefix)) {
        return Fail(why, "first line is not \"untrusted comment: ...\"");
    }
    if (lines.size() < 2) {
        return Fail(why, "no key line");
    }
    for (size_t i = 2; i < lines.size(); ++i) {
        if (!lines[i].empty()) {
            return Fail(why, "more than two lines");
        }
    }
    uint8_t blob[kKeyBlobBytes];
    if (!DecodeExactly(lines[1], blob, sizeof blob)) {
        return Fail(why, "second line is not base64 of a minisign public key");
    }
    if (blob[0] != 'E' || blob[1] != 'd') {
        return Fail(why, "not an Ed25519 key");
    }
    std::memcpy(key.keyId, blob + kAlgorithmBytes, kKeyIdBytes);
    std::memcpy(key.key, blob + kAlgorithmBytes + kKeyIdBytes, kPublicKeyBytes);
    return true;
}

bool ParseMinisignSignature(std::string_view text, MinisignSignature& sig, std::string* why) {
    if (text.size() > kMaxSignatureTextBytes) {
        return Fail(why, "longer than " + std::to_string(kMaxSignatureTextBytes) + " bytes");
    }
    if (text.find('\0') != std::string_view::npos) {
        return Fail(why, "holds a NUL byte");
    }
    bool complete = false;
    const std::vector<std::string_view> lines = SplitLines(text, &complete);
    if (lines.size() != 4 || !complete) {
        return Fail(why, lines.size() < 4 || (lines.size() == 4 && !complete)
                             ? "fewer than four complete lines"
                             : "more than four lines");
    }
    if (!StartsWith(lines[0], kUntrustedPrefix)) {
        return Fail(why, "line 1 is not \"untrusted comment: ...\"");
    }
    uint8_t blob[kSignatureBlobBytes];
    if (!DecodeExactly(lines[1], blob, sizeof blob)) {
        return Fail(why, "line 2 is not base64 of a minisign signature");
    }
    if (blob[0] == 'E' && blob[1] == 'D') {
        sig.prehashed = true;
    } else if (blob[0] == 'E' && blob[1] == 'd') {
        sig.prehashed = false;
    } else {
        return Fail(why, "unknown signature algorithm");
    }
    if (!StartsWith(lines[2], kTrustedPrefix)) {
        return Fail(why, "line 3 is not \"trusted comment: ...\"");
    }
    if (!DecodeExactly(lines[3], sig.globalSignature, kSignatureBytes)) {
        return Fail(why, "line 4 is not base64 of a global signature");
    }
    std::memcpy(sig.keyId, blob + kAlgorithmBytes, kKeyIdBytes);
    std::memcpy(sig.signature, blob + kAlgorithmBytes + kKeyIdBytes, kSignatureBytes);
    sig.trustedComment = std::string(lines[2].substr(kTrustedPrefix.size()));
    return true;
}

std::string FormatKeyId(const uint8_t id[kKeyIdBytes]) {
    uint64_t value = 0;
    for (size_t i = kKeyIdBytes; i-- > 0;) {
        value = (value << 8) | id[i];
    }
    char text[17];
    std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
    return text;
}
