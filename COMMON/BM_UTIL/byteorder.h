// Little-endian integers in byte spans, as every wire and file format of the program stores them.
// Each access names its offset inside a span and is checked against the span's end, so a field
// read from an untrusted length can never touch bytes outside the block it came from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// True when `width` bytes at `offset` lie inside a span of `size` bytes.
constexpr bool FitsIn(size_t size, size_t offset, size_t width) {
    return offset <= size && width <= size - offset;
}

// The 16-bit value at `offset`; 0 when it does not lie inside `bytes`.
constexpr uint16_t Load16(std::span<const uint8_t> bytes, size_t offset = 0) {
    if (!FitsIn(bytes.size(), offset, 2)) {
        return 0;
    }
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// The 32-bit value at `offset`; 0 when it does not lie inside `bytes`.
constexpr uint32_t Load32(std::span<const uint8_t> bytes, size_t offset = 0) {
    if (!FitsIn(bytes.size(), offset, 4)) {
        return 0;
    }
    return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

// Writes `value` at `offset`; false (nothing written) when it does not fit inside `bytes`.
constexpr bool Store16(std::span<uint8_t> bytes, size_t offset, uint16_t value) {
    if (!FitsIn(bytes.size(), offset, 2)) {
        return false;
    }
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
    return true;
}

// Writes `value` at `offset`; false (nothing written) when it does not fit inside `bytes`.
constexpr bool Store32(std::span<uint8_t> bytes, size_t offset, uint32_t value) {
    if (!FitsIn(bytes.size(), offset, 4)) {
        return false;
    }
    for (size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return true;
}
