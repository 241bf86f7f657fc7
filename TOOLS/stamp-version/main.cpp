// stamp-version FILE A.B.C.D: rewrites the file and product version in the VS_FIXEDFILEINFO of
// FILE's version block (an ELF .vsversion section, or a PE version resource) in place. A
// signature appended to FILE would no longer verify after that, so it is taken off: stamp first,
// then sign.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "COMMON/BM_OS/fileversion.h"
#include "COMMON/BM_SIGN/signaturetrailer.h"

namespace {
constexpr uint64_t kFileVersionAt = 8;      // dwFileVersionMS, dwFileVersionLS
constexpr uint64_t kProductVersionAt = 16;  // dwProductVersionMS, dwProductVersionLS
constexpr const char kUsage[] =
    "usage: stamp-version FILE A.B.C.D\n"
    "Rewrites the version in FILE's version block (ELF section .vsversion holding a\n"
    "VS_VERSIONINFO block); each part 0..65535. A signature appended to FILE (quillon-sign) is\n"
    "removed, since it would no longer verify: sign the stamped file again. Exit status 0 when\n"
    "done, 1 when FILE has no writable version block or a damaged signature trailer, 2 on a bad\n"
    "command line.\n";

// "A.B.C.D", each part decimal 0..65535, nothing else.
bool ParseVersion(const char* text, uint16_t parts[4]) {
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        uint32_t value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<uint32_t>(*p++ - '0');
            if (++digits > 5 || value > 0xFFFF) {
                return false;
            }
        }
        parts[i] = static_cast<uint16_t>(value);
        if (i < 3 && *p++ != '.') {
            return false;
        }
    }
    return *p == '\0';
}

void PutLe32(uint8_t* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

bool WriteAt(int fd, uint64_t offset, const uint8_t* data, size_t count) {
    while (count > 0) {
        const ssize_t n = pwrite(fd, data, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        offset += static_cast<uint64_t>(n);
        count -= static_cast<size_t>(n);
    }
    return true;
}

// The layout of the signature trailer at the end of `path` (unsigned when it cannot be read).
TrailerLayout ReadTrailer(const std::string& path) {
    TrailerLayout layout;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        uint8_t tail[kTrailerTailBytes];
        const size_t tailSize = size < sizeof tail ? static_cast<size_t>(size) : sizeof tail;
        if (pread(fd, tail, tailSize, static_cast<off_t>(size - tailSize)) ==
            static_cast<ssize_t>(tailSize)) {
            layout = ParseTrailerTail(tail, tailSize, size);
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    return layout;
}

bool Stamp(const std::string& path, uint64_t fixedInfo, const uint16_t parts[4]) {
    uint8_t version[8];
    PutLe32(version, (uint32_t{parts[0]} << 16) | parts[1]);
    PutLe32(version + 4, (uint32_t{parts[2]} << 16) | parts[3]);
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    const bool ok = WriteAt(fd, fixedInfo + kFileVersionAt, version, sizeof version) &&
                    WriteAt(fd, fixedInfo + kProductVersionAt, version, sizeof version);
    return close(fd) == 0 && ok;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    uint16_t parts[4];
    if (argc != 3 || !ParseVersion(argv[2], parts)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string path = argv[1];
    FileVersionInfo before;
    if (!LocateFileVersion(path, before)) {
        std::fprintf(stderr, "stamp-version: %s has no readable version block\n", path.c_str());
        return 1;
    }
    // The signature goes first: a file left half done is unsigned, never wrongly signed.
    const TrailerLayout trailer = ReadTrailer(path);
    if (trailer.kind == TrailerKind::kBad) {
        std::fprintf(stderr, "stamp-version: %s ends with a damaged signature trailer (%s)\n", path.c_str(),
                     trailer.why.c_str());
        return 1;
    }
    if (trailer.kind == TrailerKind::kSigned) {
        if (before.fixedInfoOffset >= trailer.payloadSize ||
            truncate(path.c_str(), static_cast<off_t>(trailer.payloadSize)) != 0) {
            std::fprintf(stderr, "stamp-version: could not take the signature off %s\n", path.c_str());
            return 1;
        }
        std::printf("%s: appended signature removed (it would no longer verify): sign it again\n",
                    path.c_str());
    }
    uint16_t after[4];
    if (!Stamp(path, before.fixedInfoOffset, parts) || !ReadFileVersion(path, after) ||
        std::memcmp(after, parts, sizeof after) != 0) {
        std::fprintf(stderr, "stamp-version: could not write the version into %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("%s: %u.%u.%u.%u -> %u.%u.%u.%u\n", path.c_str(), before.parts[0], before.parts[1],
                before.parts[2], before.parts[3], parts[0], parts[1], parts[2], parts[3]);
    return 0;
}
