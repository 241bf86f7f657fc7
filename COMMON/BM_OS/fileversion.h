// File version reader: the VS_FIXEDFILEINFO of the VS_VERSIONINFO block in a PE file (resource
// type 16, first name, first language) or in an ELF file (section ".vsversion"). The input is
// untrusted: every offset, size and count is checked, and a damaged file gives no version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint64_t kMaxVersionFileBytes = 512ull * 1024 * 1024;  // larger files give no version
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;

// Where the version lives in the file, and what it says.
struct FileVersionInfo {
    uint64_t fixedInfoOffset = 0;      // file offset of VS_FIXEDFILEINFO (its signature)
    uint16_t parts[4] = {0, 0, 0, 0};  // A.B.C.D of the file version
};

// Reads the four parts of the file version of `path` (high and low word of the most significant
// half, then of the least significant half). False, parts untouched, when there is none. Reads
// only the headers and the version block, never the whole file.
bool ReadFileVersion(const std::string& path, uint16_t parts[4]);

// The same for a file image in memory.
bool ReadFileVersionFromMemory(const uint8_t* data, size_t size, uint16_t parts[4]);

// Full result for `path` (used by the version stamping tool).
bool LocateFileVersion(const std::string& path, FileVersionInfo& info);
