// The records of safe updates beside the executable (TORVIX.EXE.trial and .refused), read back
// as untrusted text. Input: [kind][text]; kind bit 0 picks the refusal record. A text that parses
// must survive a write and a read unchanged, and a record must never come from more than the
// size limit.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QUILLON/releasefiles.h"
#include "fuzz/fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const bool refused = (in.Byte() & 1) != 0;
    const std::vector<uint8_t> bytes = in.Rest();
    const std::string text(bytes.begin(), bytes.end());
    std::string why;
    if (refused) {
        const auto record = ParseRefused(text, &why);
        FUZZ_CHECK(record.has_value() == why.empty());
        if (record) {
            FUZZ_CHECK(text.size() <= kMaxRecordBytes);
            FUZZ_CHECK(ParseRefused(FormatRefused(*record), nullptr) == record);
        }
    } else {
        const auto record = ParseTrial(text, &why);
        FUZZ_CHECK(record.has_value() == why.empty());
        if (record) {
            FUZZ_CHECK(text.size() <= kMaxRecordBytes && record->quickEnds <= kMaxRecordQuickEnds);
            FUZZ_CHECK(ParseTrial(FormatTrial(*record), nullptr) == record);
        }
    }
    return 0;
}
