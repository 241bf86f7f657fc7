#include "QUILLON/identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "COMMON/BM_OS/adapterinfo.h"
#include "COMMON/BM_OS/modulepath.h"

namespace {
constexpr char kNameSwitch[] = "/NAME:";
constexpr char kDefaultFileName[] = "DEFAULT.TXT";

// Reads at most `cap` bytes of the regular file at `path`; none when it cannot be read.
// Opened non-blocking so that a FIFO planted under the name cannot hang start-up.
std::optional<std::vector<char>> ReadFilePrefix(const std::string& path, size_t cap) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return std::nullopt;
    }
    std::vector<char> bytes(cap);
    size_t got = 0;
    while (got < cap) {
        const ssize_t n = read(fd, bytes.data() + got, cap - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close(fd);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    bytes.resize(got);
    return bytes;
}
}  // namespace

std::optional<std::string> NameFromCommandLine(const std::string& commandLine) {
    const size_t at = commandLine.find(kNameSwitch);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return commandLine.substr(at + sizeof(kNameSwitch) - 1);
}

std::optional<std::string> ReadDefaultNameBeside(const std::string& executablePath) {
    const size_t slash = executablePath.rfind('/');
    if (slash == std::string::npos) {
        return std::nullopt;
    }
    const std::string path = executablePath.substr(0, slash + 1) + kDefaultFileName;
    const auto bytes = ReadFilePrefix(path, kMaxDefaultFileBytes);
    if (!bytes) {
        return std::nullopt;
    }
    std::string name;
    for (char c : *bytes) {
        if (c == '\0' || c == '\r' || c == '\n') {
            break;
        }
        name.push_back(c);
    }
    return name;
}

std::optional<std::string> ReadDefaultName() {
    return ReadDefaultNameBeside(ModuleFileName());
}

std::string DeviceName(const std::string& commandLine) {
    if (auto name = NameFromCommandLine(commandLine)) {
        return *name;
    }
    return ReadDefaultName().value_or(std::string());
}

BmString AdapterAddressText() {
    return ReadAdapterAddressText();
}

bool RunsFromNetworkLocation(const std::string& invokedPath) {
    if (invokedPath.find('/') != std::string::npos && IsNetworkPath(invokedPath)) {
        return true;
    }
    return IsNetworkPath(ModuleFileName());
}
