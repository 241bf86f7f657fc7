#include "COMMON/BM_OS/fileversion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "COMMON/BM_UTIL/byteorder.h"

namespace {
// What the parsers read from: a file through pread or an image in memory. Every read names its
// range and fails unless the whole range lies inside the source.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    bool Read(uint64_t offset, void* out, size_t count) const {
        return offset <= Size() && count <= Size() - offset && ReadRaw(offset, out, count);
    }

private:
    virtual bool ReadRaw(uint64_t offset, void* out, size_t count) const = 0;
};

class MemorySource final : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint64_t Size() const override { return size_; }

private:
    bool ReadRaw(uint64_t offset, void* out, size_t count) const override {
        if (count) {
            std::memcpy(out, data_ + offset, count);
        }
        return true;
    }
    const uint8_t* data_;
    size_t size_;
};

class FileSource final : public ByteSource {
public:
    FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
    uint64_t Size() const override { return size_; }

private:
    bool ReadRaw(uint64_t offset, void* out, size_t count) const override {
        auto* p = static_cast<uint8_t*>(out);
        while (count > 0) {
            const ssize_t n = pread(fd_, p, count, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;  // error, or the file shrank under us
            }
            p += n;
            offset += static_cast<uint64_t>(n);
            count -= static_cast<size_t>(n);
        }
        return true;
    }
    int fd_;
    uint64_t size_;
};

// Little- or big-endian integers from a byte buffer whose length the caller has checked.
uint32_t Get(const uint8_t* p, size_t bytes, bool bigEndian) {
    uint32_t v = 0;
    for (size_t i = 0; i < bytes; ++i) {
        v |= static_cast<uint32_t>(p[bigEndian ? bytes - 1 - i : i]) << (8 * i);
    }
    return v;
}
uint64_t Get64(const uint8_t* p, bool bigEndian) {
    const uint64_t lo = Get(p + (bigEndian ? 4 : 0), 4, bigEndian);
    const uint64_t hi = Get(p + (bigEndian ? 0 : 4), 4, bigEndian);
    return lo | (hi << 32);
}

// True when [offset, offset + count) lies inside [0, limit).
bool Fits(uint64_t offset, uint64_t count, uint64_t limit) {
    return offset <= limit && count <= limit - offset;
}

// ---- VS_VERSIONINFO ------------------------------------------------------------------------
constexpr size_t kBlockHeaderBytes = 6;  // wLength, wValueLength, wType
constexpr char kVersionKey[] = "VS_VERSION_INFO";
constexpr size_t kKeyBytes = sizeof kVersionKey * 2;  // UTF-16 with its terminator
constexpr size_t kFixedInfoBytes = 52;
constexpr size_t kFixedInfoOffset = (kBlockHeaderBytes + kKeyBytes + 3) & ~size_t{3};
constexpr size_t kFixedInfoEnd = kFixedInfoOffset + kFixedInfoBytes;

// Reads the block of `blockSize` bytes at `offset`; fills `info` from its fixed file info.
bool ParseVersionBlock(const ByteSource& src, uint64_t offset, uint64_t blockSize, FileVersionInfo& info) {
    uint8_t block[kFixedInfoEnd];
    if (blockSize < kFixedInfoEnd || !src.Read(offset, block, sizeof block)) {
        return false;
    }
    const uint16_t length = Load16(block);
    const uint16_t valueLength = Load16(block, 2);
    if (length < kFixedInfoEnd || length > blockSize || valueLength < kFixedInfoBytes) {
        return false;
    }
    for (size_t i = 0; i < sizeof kVersionKey; ++i) {
        if (Load16(block, kBlockHeaderBytes + 2 * i) != static_cast<uint8_t>(kVersionKey[i])) {
            return false;
        }
    }
    if (Load32(block, kFixedInfoOffset) != kFixedFileInfoSignature) {
        return false;
    }
    const uint32_t ms = Load32(block, kFixedInfoOffset + 8);
    const uint32_t ls = Load32(block, kFixedInfoOffset + 12);
    info.fixedInfoOffset = offset + kFixedInfoOffset;
    info.parts[0] = static_cast<uint16_t>(ms >> 16);
    info.parts[1] = static_cast<uint16_t>(ms & 0xFFFF);
    info.parts[2] = static_cast<uint16_t>(ls >> 16);
    info.parts[3] = static_cast<uint16_t>(ls & 0xFFFF);
    return true;
}

// ---- PE ------------------------------------------------------------------------------------
constexpr uint32_t kResourceTypeVersion = 16;
constexpr uint32_t kHighBit = 0x80000000u;
constexpr size_t kSectionHeaderBytes = 40;
constexpr size_t kResourceDirectoryBytes = 16;
constexpr size_t kResourceEntryBytes = 8;

struct PeSection {
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawPointer;
};

class PeImage {
public:
    explicit PeImage(const ByteSource& src) : src_(src) {}

    bool Find(FileVersionInfo& info) {
        uint32_t resourceRva = 0;
        if (!ReadHeaders(resourceRva)) {
            return false;
        }
        if (!MapRva(resourceRva, resourceBase_, resourceLimit_)) {
            return false;
        }
        // Exactly three levels: type, name, language. A directory that points at itself or at
        // another directory where data belongs ends the walk instead of looping.
        uint32_t typeDir = 0;
        uint32_t nameDir = 0;
        uint32_t languageEntry = 0;
        if (!FindEntry(0, true, kResourceTypeVersion, typeDir) || !(typeDir & kHighBit) ||
            !FindEntry(typeDir & ~kHighBit, false, 0, nameDir) || !(nameDir & kHighBit) ||
            !FindEntry(nameDir & ~kHighBit, false, 0, languageEntry) || (languageEntry & kHighBit)) {
            return false;
        }
        uint8_t data[16];
        if (!Fits(languageEntry, sizeof data, resourceLimit_) ||
            !src_.Read(resourceBase_ + languageEntry, data, sizeof data)) {
            return false;
        }
        uint64_t blockOffset = 0;
        uint64_t blockLimit = 0;
        const uint32_t blockSize = Load32(data, 4);
        return MapRva(Load32(data), blockOffset, blockLimit) && blockSize <= blockLimit &&
               ParseVersionBlock(src_, blockOffset, blockSize, info);
    }

private:
    bool ReadHeaders(uint32_t& resourceRva) {
        uint8_t dos[64];
        if (!src_.Read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') {
            return false;
        }
        const uint64_t pe = Load32(dos, 0x3C);
        uint8_t head[24];  // signature and COFF header
        if (!src_.Read(pe, head, sizeof head) || std::memcmp(head, "PE\0\0", 4) != 0) {
            return false;
        }
        const uint16_t sectionCount = Load16(head, 6);
        const uint16_t optionalSize = Load16(head, 20);
        const uint64_t optional = pe + sizeof head;
        uint8_t magic[2];
        if (!src_.Read(optional, magic, sizeof magic)) {
            return false;
        }
        size_t countAt = 0;
        switch (Load16(magic)) {
            case 0x10B:
                countAt = 92;
                break;  // PE32
            case 0x20B:
                countAt = 108;
                break;  // PE32+
            default:
                return false;
        }
        const size_t resourceAt = countAt + 4 + 2 * 8;  // data directory 2
        uint8_t count[4];
        uint8_t directory[8];
        if (optionalSize < resourceAt + sizeof directory || !src_.Read(optional + countAt, count, 4) ||
            Load32(count) <= 2 || !src_.Read(optional + resourceAt, directory, sizeof directory)) {
            return false;
        }
        resourceRva = Load32(directory);
        if (resourceRva == 0 || Load32(directory, 4) == 0) {
            return false;
        }
        return ReadSections(optional + optionalSize, sectionCount);
    }

    bool ReadSections(uint64_t table, uint16_t count) {
        sections_.reserve(count);
        for (uint16_t i = 0; i < count; ++i) {
            uint8_t header[kSectionHeaderBytes];
            if (!src_.Read(table + uint64_t{i} * kSectionHeaderBytes, header, sizeof header)) {
                return false;
            }
            const PeSection section{Load32(header, 12), Load32(header, 16), Load32(header, 20)};
            // A section whose file data runs past the end marks a truncated or lying file.
            if (section.rawSize != 0 && !Fits(section.rawPointer, section.rawSize, src_.Size())) {
                return false;
            }
            sections_.push_back(section);
        }
        return true;
    }

    // The file offset of `rva`, and how many bytes of its section's file data follow it.
    bool MapRva(uint32_t rva, uint64_t& offset, uint64_t& available) const {
        for (const PeSection& s : sections_) {
            if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize) {
                const uint64_t delta = rva - s.virtualAddress;
                const uint64_t start = uint64_t{s.rawPointer} + delta;
                const uint64_t end = uint64_t{s.rawPointer} + s.rawSize;
                offset = start;
                available = end - start;
                return true;
            }
        }
        return false;
    }

    // In the resource directory at `dir`: the entry with id `id` (byId) or the first entry.
    // Gives the entry's OffsetToData word.
    bool FindEntry(uint32_t dir, bool byId, uint32_t id, uint32_t& target) const {
        uint8_t head[kResourceDirectoryBytes];
        if (!Fits(dir, sizeof head, resourceLimit_) || !src_.Read(resourceBase_ + dir, head, sizeof head)) {
            return false;
        }
        const uint32_t count = uint32_t{Load16(head, 12)} + Load16(head, 14);
        const uint64_t entries = uint64_t{dir} + sizeof head;
        if (count == 0 || !Fits(entries, uint64_t{count} * kResourceEntryBytes, resourceLimit_)) {
            return false;
        }
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t entry[kResourceEntryBytes];
            if (!src_.Read(resourceBase_ + entries + uint64_t{i} * kResourceEntryBytes, entry,
                           sizeof entry)) {
                return false;
            }
            if (!byId || Load32(entry) == id) {
                target = Load32(entry, 4);
                return true;
            }
        }
        return false;
    }

    const ByteSource& src_;
    std::vector<PeSection> sections_;
    uint64_t resourceBase_ = 0;
    uint64_t resourceLimit_ = 0;
};

// ---- ELF -----------------------------------------------------------------------------------
constexpr char kVersionSection[] = ".vsversion";
constexpr uint32_t kSectionNoBits = 8;
constexpr uint16_t kExtendedIndex = 0xFFFF;
constexpr uint32_t kMaxElfSections = 65536;

struct ElfSection {
    uint32_t name;
    uint32_t type;
    uint64_t offset;
    uint64_t size;
    uint32_t link;
};

class ElfImage {
public:
    explicit ElfImage(const ByteSource& src) : src_(src) {}

    bool Find(FileVersionInfo& info) {
        if (!ReadHeader()) {
            return false;
        }
        ElfSection strings{};
        if (shstrndx_ >= count_ || !Section(shstrndx_, strings) || strings.type == kSectionNoBits ||
            !Fits(strings.offset, strings.size, src_.Size())) {
            return false;
        }
        for (uint32_t i = 1; i < count_; ++i) {
            ElfSection s{};
            if (!Section(i, s)) {
                return false;
            }
            if (s.type != kSectionNoBits && HasVersionName(strings, s.name)) {
                return Fits(s.offset, s.size, src_.Size()) && ParseVersionBlock(src_, s.offset, s.size, info);
            }
        }
        return false;
    }

private:
    bool ReadHeader() {
        uint8_t h[64];
        if (!src_.Read(0, h, 52) || std::memcmp(h,
                                                "\x7F"
                                                "ELF",
                                                4) != 0) {
            return false;
        }
        wide_ = h[4] == 2;
        if ((h[4] != 1 && h[4] != 2) || (h[5] != 1 && h[5] != 2)) {
            return false;
        }
        big_ = h[5] == 2;
        if (wide_ && !src_.Read(0, h, 64)) {
            return false;
        }
        table_ = wide_ ? Get64(h + 0x28, big_) : Get(h + 0x20, 4, big_);
        entrySize_ = static_cast<uint16_t>(Get(h + (wide_ ? 0x3A : 0x2E), 2, big_));
        count_ = Get(h + (wide_ ? 0x3C : 0x30), 2, big_);
        shstrndx_ = Get(h + (wide_ ? 0x3E : 0x32), 2, big_);
        if (table_ == 0 || entrySize_ < (wide_ ? 64 : 40)) {
            return false;
        }
        // Extended numbering: the real count and string-table index live in section 0.
        ElfSection first{};
        if ((count_ == 0 || shstrndx_ == kExtendedIndex) && !Section(0, first)) {
            return false;
        }
        if (count_ == 0) {
            if (first.size > kMaxElfSections) {
                return false;
            }
            count_ = static_cast<uint32_t>(first.size);
        }
        if (shstrndx_ == kExtendedIndex) {
            shstrndx_ = first.link;
        }
        return count_ > 0 && Fits(table_, uint64_t{count_} * entrySize_, src_.Size());
    }

    bool Section(uint32_t index, ElfSection& s) const {
        uint8_t h[64];
        const size_t bytes = wide_ ? 64 : 40;
        if (!src_.Read(table_ + uint64_t{index} * entrySize_, h, bytes)) {
            return false;
        }
        s.name = Get(h, 4, big_);
        s.type = Get(h + 4, 4, big_);
        s.offset = wide_ ? Get64(h + 0x18, big_) : Get(h + 0x10, 4, big_);
        s.size = wide_ ? Get64(h + 0x20, big_) : Get(h + 0x14, 4, big_);
        s.link = Get(h + (wide_ ? 0x28 : 0x18), 4, big_);
        return true;
    }

    bool HasVersionName(const ElfSection& strings, uint32_t name) const {
        char text[sizeof kVersionSection];
        return Fits(name, sizeof text, strings.size) && src_.Read(strings.offset + name, text, sizeof text) &&
               std::memcmp(text, kVersionSection, sizeof text) == 0;
    }

    const ByteSource& src_;
    bool wide_ = false;
    bool big_ = false;
    uint64_t table_ = 0;
    uint16_t entrySize_ = 0;
    uint32_t count_ = 0;
    uint32_t shstrndx_ = 0;
};

bool Locate(const ByteSource& src, FileVersionInfo& info) {
    uint8_t magic[4];
    if (src.Size() > kMaxVersionFileBytes || !src.Read(0, magic, sizeof magic)) {
        return false;
    }
    if (magic[0] == 'M' && magic[1] == 'Z') {
        return PeImage(src).Find(info);
    }
    if (std::memcmp(magic,
                    "\x7F"
                    "ELF",
                    4) == 0) {
        return ElfImage(src).Find(info);
    }
    return false;
}

void CopyParts(const FileVersionInfo& info, uint16_t parts[4]) {
    for (int i = 0; i < 4; ++i) {
        parts[i] = info.parts[i];
    }
}
}  // namespace

bool LocateFileVersion(const std::string& path, FileVersionInfo& info) {
    int fd;
    do {
        // Non-blocking so that a FIFO put in the executable's place cannot hang the open.
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool found = false;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0) {
        FileVersionInfo result;
        if (Locate(FileSource(fd, static_cast<uint64_t>(st.st_size)), result)) {
            info = result;
            found = true;
        }
    }
    close(fd);
    return found;
}

bool ReadFileVersion(const std::string& path, uint16_t parts[4]) {
    FileVersionInfo info;
    if (!parts || !LocateFileVersion(path, info)) {
        return false;
    }
    CopyParts(info, parts);
    return true;
}

bool ReadFileVersionFromMemory(const uint8_t* data, size_t size, uint16_t parts[4]) {
    FileVersionInfo info;
    if (!parts || (!data && size > 0) || !Locate(MemorySource(data, size), info)) {
        return false;
    }
    CopyParts(info, parts);
    return true;
}
