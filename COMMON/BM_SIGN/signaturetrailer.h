// The end of a signed executable: PAYLOAD || SIG || LEN || MAGIC, where SIG is a minisign
// signature file's text over PAYLOAD, LEN its length (32-bit little-endian, 1..4096) and MAGIC
// the 29 bytes below. A file that does not end with MAGIC is unsigned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr std::string_view kSignatureMagic = "~Quillon signature appended~\n";
constexpr size_t kSignatureLengthBytes = 4;
// LEN and MAGIC: the fixed part every signed file ends with.
constexpr size_t kTrailerTailBytes = kSignatureLengthBytes + 29;
static_assert(kSignatureMagic.size() == 29);

enum class TrailerKind { kUnsigned, kBad, kSigned };

struct TrailerLayout {
    TrailerKind kind = TrailerKind::kUnsigned;
    uint64_t payloadSize = 0;    // bytes before SIG (kSigned)
    uint32_t signatureSize = 0;  // LEN (kSigned)
    std::string why;             // what is wrong (kBad)
};

// Reads the layout of a file of `fileSize` bytes from its last `tailSize` bytes at `tail` (the
// whole tail when the file is shorter than kTrailerTailBytes, else at least those bytes). Never
// reads outside them.
TrailerLayout ParseTrailerTail(const uint8_t* tail, size_t tailSize, uint64_t fileSize);

// The bytes to append to a payload so that it carries `signatureText`: SIG || LEN || MAGIC.
// Empty when the text is empty or longer than 4096 bytes.
std::string MakeTrailer(std::string_view signatureText);
