// The two sources of the device name: "DEFAULT.TXT" beside the executable (read from a scratch
// folder) and the command line's "/NAME:" switch.
// Input: [flags][rest]. The rest is the file's content and also the command line. Flag bits 0-1
// pick the executable path (in the folder, the folder itself with a trailing slash, or a bare
// name without folder); bits 2-3 what lies at "DEFAULT.TXT" (a file, a FIFO, a folder, nothing).
// The name must be the file's bytes up to the first CR, LF or NUL within the read limit; anything
// but a regular file gives none, and never a hang.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "QUILLON/identity.h"
#include "fuzz/fuzzsupport.h"

namespace {

void Remove(const std::string& path) {
    if (::unlink(path.c_str()) != 0) {
        ::rmdir(path.c_str());
    }
}

std::string FirstLine(const std::vector<uint8_t>& bytes) {
    std::string line;
    const size_t limit = bytes.size() < kMaxDefaultFileBytes ? bytes.size() : kMaxDefaultFileBytes;
    for (size_t i = 0; i < limit; ++i) {
        const char c = static_cast<char>(bytes[i]);
        if (c == '\0' || c == '\r' || c == '\n') {
            break;
        }
        line.push_back(c);
    }
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const std::vector<uint8_t> content = in.Rest();
    const std::string& dir = FuzzScratchDir();
    const std::string file = dir + "/DEFAULT.TXT";

    Remove(file);
    const int kind = (flags >> 2) & 3;
    if (kind == 0) {
        FUZZ_CHECK(WriteFileBytes(file, content));
    } else if (kind == 1) {
        FUZZ_CHECK(::mkfifo(file.c_str(), 0600) == 0);
    } else if (kind == 2) {
        FUZZ_CHECK(::mkdir(file.c_str(), 0700) == 0);
    }

    const int where = (flags & 3) % 3;
    const std::string executable = where == 0 ? dir + "/quillon" : where == 1 ? dir + "/" : "quillon";
    const std::optional<std::string> name = ReadDefaultNameBeside(executable);
    if (where == 2 || kind != 0) {
        FUZZ_CHECK(!name.has_value());
    } else {
        FUZZ_CHECK(name.has_value());
        FUZZ_CHECK(*name == FirstLine(content));
    }

    const std::string commandLine(content.begin(), content.end());
    const std::optional<std::string> fromSwitch = NameFromCommandLine(commandLine);
    const size_t at = commandLine.find("/NAME:");
    if (at == std::string::npos) {
        FUZZ_CHECK(!fromSwitch.has_value());
    } else {
        FUZZ_CHECK(fromSwitch.has_value() && *fromSwitch == commandLine.substr(at + 6));
    }
    return 0;
}
