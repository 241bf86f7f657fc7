#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "COMMON/BM_OS/bmfile.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "tests/support/env_guard.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"

namespace {

int gReports = 0;
void CountReport(const BmString&) {
    ++gReports;
}

class BmFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        gReports = 0;
        SetAssertionObserver(CountReport);
    }
    void TearDown() override { SetAssertionObserver(nullptr); }

    std::string PathOf(const char* name) const { return dir_ + "/" + name; }
    BmString Name(const char* name) const { return BmString(PathOf(name).c_str()); }

    // What is really on disk right now, whatever the object still buffers.
    std::vector<unsigned char> OnDisk(const char* name) const { return ReadFileBytes(PathOf(name)); }
    bool Exists(const char* name) const { return FileExists(PathOf(name)); }
    void Put(const char* name, const std::vector<unsigned char>& bytes) const {
        WriteFileBytes(PathOf(name), bytes);
    }

    ScratchDir scratch_{"bmfile-test"};
    std::string dir_ = scratch_.Path();
};

std::vector<unsigned char> Pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 31 + seed) & 0xff);
    }
    return bytes;
}

TEST_F(BmFileTest, SmallWriteReachesTheFileOnDestruction) {
    {
        BmFile file(Name("small"));
        ASSERT_TRUE(file.Open(ModeCreate, 0));
        EXPECT_TRUE(file.WriteBlock("abcd", 4));
        EXPECT_TRUE(OnDisk("small").empty());
    }
    EXPECT_EQ((std::vector<unsigned char>{'a', 'b', 'c', 'd'}), OnDisk("small"));
}

TEST_F(BmFileTest, ExactlyFullBufferIsHeldUntilTheNextWrite) {
    const std::vector<unsigned char> block = Pattern(5000, 1);
    BmFile file(Name("full"));
    ASSERT_TRUE(file.Open(ModeCreate, 0));
    ASSERT_TRUE(file.Write(block.data(), 5000));
    EXPECT_TRUE(OnDisk("full").empty());
    ASSERT_TRUE(file.Write("z", 1));  // flushes the full buffer first
    EXPECT_EQ(block, OnDisk("full"));
    file.Close();
    std::vector<unsigned char> expected = block;
    expected.push_back('z');
    EXPECT_EQ(expected, OnDisk("full"));
}

TEST_F(BmFileTest, LargeBlockGoesStraightToTheFile) {
    const std::vector<unsigned char> block = Pattern(6000, 2);
    BmFile file(Name("large"));
    ASSERT_TRUE(file.Open(ModeCreate, 0));
    ASSERT_TRUE(file.Write(block.data(), 6000));
    EXPECT_EQ(block, OnDisk("large"));  // nothing left waiting in the buffer
    file.Close();
    EXPECT_EQ(block, OnDisk("large"));
}

TEST_F(BmFileTest, SecondWriteThatWouldFillFlushesTheFirst) {
    const std::vector<unsigned char> first = Pattern(3000, 3);
    const std::vector<unsigned char> second = Pattern(3000, 4);
    BmFile file(Name("halves"));
    ASSERT_TRUE(file.Open(ModeCreate, 0));
    ASSERT_TRUE(file.Write(first.data(), 3000));
    EXPECT_TRUE(OnDisk("halves").empty());
    ASSERT_TRUE(file.Write(second.data(), 3000));
    EXPECT_EQ(first, OnDisk("halves"));
    file.Close();
    std::vector<unsigned char> both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(both, OnDisk("halves"));

    // Reaching exactly the capacity also flushes what was waiting first.
    BmFile exact(Name("exact"));
    ASSERT_TRUE(exact.Open(ModeCreate, 0));
    ASSERT_TRUE(exact.Write(first.data(), 3000));
    ASSERT_TRUE(exact.Write(second.data(), 2000));
    EXPECT_EQ(first, OnDisk("exact"));
}

TEST_F(BmFileTest, CreateTruncatesAndAppendKeepsOldContents) {
    Put("log", {'o', 'l', 'd'});
    {
        BmFile file(Name("log"));
        ASSERT_TRUE(file.Open(ModeAppend, 0));
        EXPECT_TRUE(file.WriteBlock("new", 3));
    }
    EXPECT_EQ((std::vector<unsigned char>{'o', 'l', 'd', 'n', 'e', 'w'}), OnDisk("log"));

    {
        BmFile file(Name("missing"));
        ASSERT_TRUE(file.Open(ModeAppend, 0));
        EXPECT_TRUE(Exists("missing"));
        EXPECT_TRUE(file.WriteInt32(0x01020304));
    }
    EXPECT_EQ((std::vector<unsigned char>{4, 3, 2, 1}), OnDisk("missing"));

    {
        BmFile file(Name("log"));
        ASSERT_TRUE(file.Open(ModeCreate, 0));
    }
    EXPECT_TRUE(OnDisk("log").empty());
}

TEST_F(BmFileTest, ShortAndMissingFiles) {
    Put("two", {1, 2});
    BmFile shortFile(Name("two"));
    ASSERT_TRUE(shortFile.Open(ModeRead, 0));
    unsigned char bytes[4];
    EXPECT_FALSE(shortFile.Read(bytes, 4));
    shortFile.Close();
    ASSERT_TRUE(shortFile.Open(ModeRead, 0));
    int32_t value = 77;
    EXPECT_FALSE(shortFile.ReadInt32(&value));
    EXPECT_EQ(77, value);
    EXPECT_FALSE(shortFile.ReadBuffered(bytes, 3));

    BmFile missing(Name("nothing"));
    EXPECT_EQ(0, missing.Size());
    EXPECT_FALSE(missing.Open(ModeRead, 0));
    EXPECT_EQ(ModeNone, missing.Mode());
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_FALSE(missing.ReadInt32(&value));
    EXPECT_EQ(77, value);
    EXPECT_FALSE(missing.WriteInt32(5));
    EXPECT_FALSE(Exists("nothing"));
    EXPECT_EQ(0, gReports);
}

TEST_F(BmFileTest, IntegersRoundTripLittleEndian) {
    {
        BmFile file(Name("dev.dat"));
        ASSERT_TRUE(file.Open(ModeCreate, 0));
        ASSERT_TRUE(file.WriteInt32(-2));
    }
    EXPECT_EQ((std::vector<unsigned char>{0xfe, 0xff, 0xff, 0xff}), OnDisk("dev.dat"));
    BmFile file(Name("dev.dat"));
    EXPECT_EQ(4, file.Size());
    ASSERT_TRUE(file.Open(ModeRead, 0));
    int32_t value = 0;
    EXPECT_TRUE(file.ReadInt32(&value));
    EXPECT_EQ(-2, value);
}

TEST_F(BmFileTest, BufferedReadsAcrossTheBufferBoundary) {
    const std::vector<unsigned char> content = Pattern(17000, 5);
    Put("big", content);
    BmFile file(Name("big"));
    ASSERT_TRUE(file.Open(ModeRead, 0));
    EXPECT_EQ(17000, file.Size());
    std::vector<unsigned char> got(17000);
    ASSERT_TRUE(file.ReadBuffered(got.data(), 3000));
    ASSERT_TRUE(file.ReadBuffered(got.data() + 3000, 4000));   // 2000 buffered + 2000 fresh
    ASSERT_TRUE(file.Read(got.data() + 7000, 500));            // uses the read-ahead first
    ASSERT_TRUE(file.ReadBuffered(got.data() + 7500, 2500));   // ends the second buffer exactly
    ASSERT_TRUE(file.ReadBuffered(got.data() + 10000, 6000));  // larger than the buffer: direct
    ASSERT_TRUE(file.Read(got.data() + 16000, 1000));
    EXPECT_EQ(content, got);
    unsigned char extra;
    EXPECT_FALSE(file.ReadBuffered(&extra, 1));
    EXPECT_FALSE(file.Read(&extra, 1));
}

TEST_F(BmFileTest, SecondUnsharedOpenFailsUntilClosed) {
    Put("held", {1, 2, 3});
    BmFile first(Name("held"));
    ASSERT_TRUE(first.Open(ModeRead, 0));
    BmFile second(Name("held"));
    EXPECT_FALSE(second.Open(ModeRead, 0));
    EXPECT_FALSE(second.Open(ModeAppend, 0));
    // A refused create must not truncate the file the first object holds.
    EXPECT_FALSE(second.Open(ModeCreate, 0));
    EXPECT_EQ((std::vector<unsigned char>{1, 2, 3}), OnDisk("held"));
    EXPECT_EQ(0, second.Size());
    first.Close();
    EXPECT_TRUE(second.Open(ModeRead, 0));
    EXPECT_EQ(3, second.Size());
}

TEST_F(BmFileTest, MisuseIsReported) {
    BmFile file(Name("misuse"));
    EXPECT_FALSE(file.Open(7, 0));
    EXPECT_EQ(1, gReports);
    EXPECT_FALSE(file.IsOpen());

    ASSERT_TRUE(file.Open(ModeCreate, 0));
    EXPECT_TRUE(file.WriteBlock("xy", 2));
    ASSERT_TRUE(file.Open(ModeRead, 0));  // reported; the open file is flushed and closed first
    EXPECT_EQ(2, gReports);
    EXPECT_EQ((std::vector<unsigned char>{'x', 'y'}), OnDisk("misuse"));
    // Bytes written to a file opened for reading would be silently dropped: refused.
    EXPECT_FALSE(file.Write("q", 1));
    char two[2];
    EXPECT_TRUE(file.Read(two, 2));
    EXPECT_EQ('y', two[1]);

    EXPECT_FALSE(file.Open(9, 0));  // reports the open file, closes it, then refuses the mode
    EXPECT_EQ(4, gReports);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ModeNone, file.Mode());
}

TEST_F(BmFileTest, DevicePathsMapUnderTheDeviceRoot) {
    const EnvGuard root("QUILLON_ROOT", dir_);
    ASSERT_EQ(0, ::mkdir(PathOf("NANDFLASH").c_str(), 0700));
    {
        BmFile file(BmString("\\NANDFLASH\\DEV.DAT"));
        ASSERT_TRUE(file.Open(ModeCreate, 0));
        EXPECT_TRUE(file.WriteInt32(1));
    }
    EXPECT_EQ((std::vector<unsigned char>{1, 0, 0, 0}), OnDisk("NANDFLASH/DEV.DAT"));
    BmFile wide(BmString(u"\\NANDFLASH\\DEV.DAT"));
    EXPECT_EQ(4, wide.Size());
}

TEST_F(BmFileTest, OnlyRegularFilesOpenAndNothingBlocks) {
    ASSERT_EQ(0, ::mkdir(PathOf("folder").c_str(), 0700));
    BmFile folder(Name("folder"));
    EXPECT_FALSE(folder.Open(ModeRead, 0));
    EXPECT_EQ(0, folder.Size());
    // A FIFO nobody writes to (or reads from) would block open() for good in any mode.
    ASSERT_EQ(0, ::mkfifo(PathOf("fifo").c_str(), 0600));
    for (int mode : {ModeRead, ModeCreate, ModeAppend}) {
        BmFile fifo(Name("fifo"));
        EXPECT_FALSE(fifo.Open(mode, 0)) << "mode " << mode;
    }
    BmFile device(BmString("/dev/null"));
    EXPECT_FALSE(device.Open(ModeCreate, 0));
    // A regular file opened after the non-blocking open still reads whole blocks.
    Put("plain", Pattern(6000, 3));
    BmFile plain(Name("plain"));
    ASSERT_TRUE(plain.Open(ModeRead, 0));
    std::vector<unsigned char> back(6000);
    EXPECT_TRUE(plain.Read(back.data(), 6000));
    EXPECT_EQ(back, Pattern(6000, 3));
}

}  // namespace
