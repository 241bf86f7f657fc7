// The device data file loader on arbitrary file contents under a scratch device root.
// Input: [flags][file bytes]. Flag bit 0: DEV.DAT is a folder instead of a file; bit 2: a FIFO
// (which must neither hang the load nor count as a file); bit 1: the loaded value is saved and
// loaded again. Four or more bytes give devMode 1 exactly when the
// first four are not all zero; anything shorter (or no readable file) leaves devMode alone.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QUILLON/devicedata.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr int32_t kUntouched = 0x7E57;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string root = [] {
        const std::string dir = FuzzScratchDir() + "/root";
        ::mkdir(dir.c_str(), 0700);
        ::mkdir((dir + "/NANDFLASH").c_str(), 0700);
        ::setenv("QUILLON_ROOT", dir.c_str(), 1);
        return dir;
    }();
    FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const std::vector<uint8_t> content = in.Rest();
    const std::string file = root + "/NANDFLASH/DEV.DAT";

    if (::unlink(file.c_str()) != 0) {
        ::rmdir(file.c_str());
    }
    const bool folder = (flags & 1) != 0;
    const bool fifo = !folder && (flags & 4) != 0;
    if (folder) {
        FUZZ_CHECK(::mkdir(file.c_str(), 0700) == 0);
    } else if (fifo) {
        FUZZ_CHECK(::mkfifo(file.c_str(), 0600) == 0);
    } else {
        FUZZ_CHECK(WriteFileBytes(file, content));
    }

    int32_t devMode = kUntouched;
    LoadDeviceData(devMode);
    if (folder || fifo || content.size() < 4) {
        FUZZ_CHECK(devMode == kUntouched);
        return 0;
    }
    const int32_t expected = (content[0] | content[1] | content[2] | content[3]) != 0 ? 1 : 0;
    FUZZ_CHECK(devMode == expected);

    if ((flags & 2) != 0) {
        SaveDeviceData(devMode);
        bool readable = false;
        const std::vector<uint8_t> saved = ReadFileBytes(file, &readable);
        FUZZ_CHECK(readable);
        FUZZ_CHECK(saved == (std::vector<uint8_t>{static_cast<uint8_t>(expected), 0, 0, 0}));
        int32_t again = kUntouched;
        LoadDeviceData(again);
        FUZZ_CHECK(again == expected);
    }
    return 0;
}
