// The version reader against real PE files made by windres/ld, small ELF files with a
// .vsversion section, the stamped sample application, and damaged copies of all of them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "COMMON/BM_OS/fileversion.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"

namespace {
using Bytes = std::vector<uint8_t>;

const std::string kFixtures = QUILLON_SOURCE_DIR "/tests/BM_OS/fixtures/";

struct Fixture {
    const char* file;
    uint16_t version[4];
};
const Fixture kVersioned[] = {
    {"version_1_0_12_305.exe", {1, 0, 12, 305}}, {"version_3_1_4_1_pe32.exe", {3, 1, 4, 1}},
    {"version_mixed.exe", {65535, 0, 65535, 1}}, {"version_2_5_0_7.elf", {2, 5, 0, 7}},
    {"version_4_3_2_1_elf32.elf", {4, 3, 2, 1}},
};

Bytes Load(const std::string& path) {
    return ReadFileBytes(path);
}

bool FromMemory(const Bytes& b, uint16_t out[4]) {
    return ReadFileVersionFromMemory(b.data(), b.size(), out);
}
bool HasVersion(const Bytes& b) {
    uint16_t parts[4];
    return FromMemory(b, parts);
}

uint32_t Le32(const Bytes& b, size_t at) {
    return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) | (uint32_t{b.at(at + 3)} << 24);
}
uint16_t Le16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
    }
}
void Put16(Bytes& b, size_t at, uint16_t v) {
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}

// A scratch folder that writes whole files.
class TempDir : public ScratchDir {
public:
    TempDir() : ScratchDir("os-fileversion") {}
    std::string Write(const std::string& name, const Bytes& b) const {
        WriteFileBytes(File(name), b);
        return File(name);
    }
};

// Where the PE fixture's resource section and its pieces are (read with fixed offsets here so
// that the test does not share the reader's parsing).
struct PeLayout {
    size_t sectionTable = 0;
    size_t sectionCount = 0;
    size_t rsrcHeader = 0;  // section header of .rsrc
    size_t rsrc = 0;        // file offset of the resource directory
};
PeLayout FindPeLayout(const Bytes& b) {
    PeLayout l;
    const size_t pe = Le32(b, 0x3C);
    l.sectionCount = Le16(b, pe + 6);
    l.sectionTable = pe + 24 + Le16(b, pe + 20);
    for (size_t i = 0; i < l.sectionCount; ++i) {
        const size_t h = l.sectionTable + 40 * i;
        if (std::memcmp(&b.at(h), ".rsrc", 5) == 0) {
            l.rsrcHeader = h;
            l.rsrc = Le32(b, h + 20);
        }
    }
    return l;
}

// ELF64 little-endian: the section header of .vsversion.
size_t FindElfVersionHeader(const Bytes& b) {
    const uint64_t shoff = Le32(b, 0x28);
    const size_t count = Le16(b, 0x3C);
    const size_t strtab = shoff + 64 * Le16(b, 0x3E);
    const size_t names = Le32(b, strtab + 0x18);
    for (size_t i = 0; i < count; ++i) {
        const size_t h = shoff + 64 * i;
        if (std::strcmp(reinterpret_cast<const char*>(&b.at(names + Le32(b, h))), ".vsversion") == 0) {
            return h;
        }
    }
    return 0;
}

int RunShell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

TEST(FileVersion, FixturesGiveTheVersionsOfTheirSourceFiles) {
    for (const Fixture& f : kVersioned) {
        SCOPED_TRACE(f.file);
        uint16_t fromFile[4] = {};
        ASSERT_TRUE(ReadFileVersion(kFixtures + f.file, fromFile));
        EXPECT_EQ(0, std::memcmp(fromFile, f.version, sizeof fromFile));
        uint16_t fromMemory[4] = {};
        ASSERT_TRUE(FromMemory(Load(kFixtures + f.file), fromMemory));
        EXPECT_EQ(0, std::memcmp(fromMemory, f.version, sizeof fromMemory));
    }
}

TEST(FileVersion, FilesWithoutVersionLeaveThePartsUntouched) {
    TempDir dir;
    mkfifo(dir.File("fifo").c_str(), 0600);  // must not hang the reader
    const std::string paths[] = {kFixtures + "no_version.exe",
                                 kFixtures + "version_1_0_12_305.rc",
                                 "/nonexistent/x.exe",
                                 dir.File(""),
                                 dir.File("fifo"),
                                 dir.Write("empty", {}),
                                 dir.Write("mz", {'M', 'Z'})};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        uint16_t parts[4] = {7, 7, 7, 7};
        EXPECT_FALSE(ReadFileVersion(path, parts));
        for (uint16_t part : parts) {
            EXPECT_EQ(7, part);
        }
    }
    uint16_t parts[4];
    EXPECT_FALSE(ReadFileVersionFromMemory(nullptr, 0, parts));
    EXPECT_FALSE(ReadFileVersionFromMemory(nullptr, 100, parts));
}

TEST(FileVersion, EveryTruncatedCopyGivesNoVersion) {
    TempDir dir;
    for (const Fixture& f : kVersioned) {
        SCOPED_TRACE(f.file);
        const Bytes whole = Load(kFixtures + f.file);
        for (size_t size = 0; size < whole.size(); ++size) {
            const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
            ASSERT_FALSE(HasVersion(cut)) << "truncated at " << size;
            if (size % 251 == 0) {  // the file path too, on a sample of the cuts
                uint16_t parts[4];
                ASSERT_FALSE(ReadFileVersion(dir.Write("cut", cut), parts)) << "file truncated at " << size;
            }
        }
    }
}

TEST(FileVersion, LoopingOrLyingResourceDirectoriesGiveNoVersion) {
    const Bytes good = Load(kFixtures + "version_1_0_12_305.exe");
    const PeLayout l = FindPeLayout(good);
    ASSERT_NE(0u, l.rsrc);
    ASSERT_TRUE(HasVersion(good));
    const size_t rootEntry = l.rsrc + 16;
    ASSERT_EQ(16u, Le32(good, rootEntry));  // the only type: version
    const size_t nameDir = l.rsrc + (Le32(good, rootEntry + 4) & 0x7FFFFFFF);
    const size_t languageDir = l.rsrc + (Le32(good, nameDir + 16 + 4) & 0x7FFFFFFF);
    const size_t dataEntry = l.rsrc + Le32(good, languageDir + 16 + 4);

    struct Damage {
        const char* what;
        size_t at;
        uint32_t value;
        bool wide;
    };
    const Damage damages[] = {
        {"type entry points at the root", rootEntry + 4, 0x80000000u, true},
        {"name entry points at the root", nameDir + 20, 0x80000000u, true},
        {"language entry points at its own directory", languageDir + 20,
         0x80000000u | static_cast<uint32_t>(languageDir - l.rsrc), true},
        {"language entry is a directory pointing at the root", languageDir + 20, 0x80000000u, true},
        {"type directory past the section", rootEntry + 4, 0x80FFFFF0u, true},
        {"data entry past the section", languageDir + 20, 0x7FFFFFF0u, true},
        {"entry count past the section", l.rsrc + 14, 0xFFFF, false},
        {"no entries", l.rsrc + 14, 0, false},
        {"version block size past the end", dataEntry + 4, 0xFFFFFFF0u, true},
        {"version block RVA outside every section", dataEntry, 0x7FFFFFF0u, true},
        {"resource section raw size past the end", l.rsrcHeader + 16, 0x7FFFFFF0u, true},
        {"resource section raw data past the end", l.rsrcHeader + 20, 0xFFFFFF00u, true},
        {"section count past the end", Le32(good, 0x3C) + 6, 0xFFFF, false},
        {"PE header offset past the end", 0x3C, 0xFFFFFFF0u, true},
        {"optional header magic unknown", Le32(good, 0x3C) + 24, 0x1234, false},
        {"optional header too short for the resource entry", Le32(good, 0x3C) + 20, 8, false},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        Bytes bad = good;
        if (d.wide) {
            Put32(bad, d.at, d.value);
        } else {
            Put16(bad, d.at, static_cast<uint16_t>(d.value));
        }
        EXPECT_FALSE(HasVersion(bad));
    }
}

TEST(FileVersion, DamagedVersionBlocksGiveNoVersion) {
    for (const char* file : {"version_1_0_12_305.exe", "version_2_5_0_7.elf"}) {
        SCOPED_TRACE(file);
        FileVersionInfo info;
        ASSERT_TRUE(LocateFileVersion(kFixtures + file, info));
        const Bytes good = Load(kFixtures + file);
        const size_t block = info.fixedInfoOffset - 40;
        ASSERT_EQ(0xFEEF04BDu, Le32(good, info.fixedInfoOffset));
        struct Damage {
            const char* what;
            size_t at;
            uint16_t value;
        };
        const Damage damages[] = {
            {"block shorter than its fixed info", block, 91},
            {"no value", block + 2, 0},
            {"value shorter than the fixed info", block + 2, 51},
            {"wrong key", block + 6, 'W'},
            {"key not terminated", block + 6 + 30, 'X'},
            {"wrong signature", info.fixedInfoOffset, 0x04BE},
        };
        for (const Damage& d : damages) {
            SCOPED_TRACE(d.what);
            Bytes bad = good;
            Put16(bad, d.at, d.value);
            EXPECT_FALSE(HasVersion(bad));
        }
    }
}

TEST(FileVersion, LyingElfSectionTablesGiveNoVersion) {
    const Bytes good = Load(kFixtures + "version_2_5_0_7.elf");
    const size_t header = FindElfVersionHeader(good);
    ASSERT_NE(0u, header);
    struct Damage {
        const char* what;
        size_t at;
        uint32_t value;
        bool wide;
    };
    const Damage damages[] = {
        {"section data past the end", header + 0x18, 0xFFFFFF00u, true},
        {"section size past the end", header + 0x20, 0x7FFFFFFFu, true},
        {"section holds no file data", header + 4, 8, true},
        {"name outside the string table", header, 0xFFFFFFF0u, true},
        {"section table past the end", 0x28, 0xFFFFFF00u, true},
        {"more sections than the file holds", 0x3C, 0xFFFF, false},
        {"string table index out of range", 0x3E, 0x7FFF, false},
        {"section entries too small", 0x3A, 16, false},
        {"unknown class", 4, 0x0103, false},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        Bytes bad = good;
        if (d.wide) {
            Put32(bad, d.at, d.value);
        } else {
            Put16(bad, d.at, static_cast<uint16_t>(d.value));
        }
        EXPECT_FALSE(HasVersion(bad));
    }
}

TEST(FileVersion, FilesAboveTheSizeCapGiveNoVersion) {
    TempDir dir;
    const std::string path = dir.Write("big.exe", Load(kFixtures + "version_1_0_12_305.exe"));
    uint16_t parts[4];
    ASSERT_TRUE(ReadFileVersion(path, parts));
    ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(kMaxVersionFileBytes) + 1));  // sparse
    EXPECT_FALSE(ReadFileVersion(path, parts));
}

TEST(FileVersion, SampleApplicationCarriesItsBuildVersionAndTakesAStamp) {
    // The build's version comes from the cache the sample application was configured with.
    std::ifstream cache(QUILLON_BINARY_DIR "/CMakeCache.txt");
    std::string line, built;
    while (std::getline(cache, line)) {
        if (line.rfind("DEMO_APP_VERSION:", 0) == 0) {
            built = line.substr(line.find('=') + 1);
        }
    }
    ASSERT_FALSE(built.empty());
    uint16_t parts[4] = {};
    ASSERT_TRUE(ReadFileVersion(DEMO_APP_BIN, parts));
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
    EXPECT_EQ(built, text);

    TempDir dir;
    const std::string copy = dir.Write("TORVIX.EXE", Load(DEMO_APP_BIN));
    const std::string stamp = std::string(STAMP_VERSION_BIN) + " '" + copy + "' ";
    ASSERT_EQ(0, RunShell(stamp + "1.0.12.305 >/dev/null"));
    ASSERT_TRUE(ReadFileVersion(copy, parts));
    const uint16_t stamped[4] = {1, 0, 12, 305};
    EXPECT_EQ(0, std::memcmp(parts, stamped, sizeof parts));

    // Bad version texts and files without a block are refused and change nothing.
    const Bytes before = Load(copy);
    for (const char* bad :
         {"1.2.3", "1.2.3.65536", "1.2.3.4.5", "1.2.-3.4", "a.b.c.d", "1..2.3", "1.2.3.4x"}) {
        EXPECT_NE(0, RunShell(stamp + bad + " 2>/dev/null")) << bad;
    }
    EXPECT_EQ(before, Load(copy));
    const std::string plain = dir.Write("plain", Bytes(4096, 0x41));
    EXPECT_NE(0, RunShell(std::string(STAMP_VERSION_BIN) + " '" + plain + "' 1.2.3.4 2>/dev/null"));
    EXPECT_EQ(Bytes(4096, 0x41), Load(plain));
}
