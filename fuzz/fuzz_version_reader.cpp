// The version reader on arbitrary file images: it must answer "no version" or a version, and
// never read outside the image.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "COMMON/BM_OS/fileversion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that AddressSanitizer sees any read past the image's end.
    std::vector<uint8_t> image(data, data + size);
    uint16_t parts[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    const bool found = ReadFileVersionFromMemory(image.data(), image.size(), parts);
    if (!found) {
        const uint16_t untouched[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
        if (std::memcmp(parts, untouched, sizeof parts) != 0) {
            __builtin_trap();  // a failed read must leave the parts alone
        }
    }
    return 0;
}
