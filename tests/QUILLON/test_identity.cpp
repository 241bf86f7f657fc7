// The device name from the command line and from "DEFAULT.TXT", which is untrusted input.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "QUILLON/identity.h"
#include "tests/QUILLON/support_launcher.h"

namespace {
class DefaultName : public ::testing::Test {
protected:
    std::optional<std::string> ReadWith(const std::string& bytes) {
        WriteFile(dir_.File("DEFAULT.TXT"), bytes);
        return ReadDefaultNameBeside(dir_.File("quillon"));
    }
    ScratchDir dir_;
};

TEST(NameSwitch, EverythingAfterTheSwitchSpacesIncluded) {
    EXPECT_EQ(NameFromCommandLine("/NAME:Kitchen Panel 2"), "Kitchen Panel 2");
    EXPECT_EQ(NameFromCommandLine("-v /NAME:Hall /NAME:Other"), "Hall /NAME:Other");
    EXPECT_EQ(NameFromCommandLine("/NAME:"), "");
    EXPECT_EQ(NameFromCommandLine("/name:Hall"), std::nullopt);
    EXPECT_EQ(NameFromCommandLine(""), std::nullopt);
}

TEST_F(DefaultName, FirstLineOnly) {
    EXPECT_EQ(ReadWith("Hall\r\nSecond"), "Hall");
    EXPECT_EQ(ReadWith("Hall\nSecond"), "Hall");
    EXPECT_EQ(ReadWith("Kitchen Panel 2"), "Kitchen Panel 2");
    EXPECT_EQ(ReadWith(""), "");
    EXPECT_EQ(ReadWith("\r\nHall"), "");
}

TEST_F(DefaultName, BytesAreTakenAsTheyAre) {
    // A byte-order mark stays, UTF-16 gives its first byte, a NUL ends the text.
    EXPECT_EQ(ReadWith("\xEF\xBB\xBFHall"), "\xEF\xBB\xBFHall");
    EXPECT_EQ(ReadWith(std::string("H\0a\0l\0l\0", 8)), "H");
    EXPECT_EQ(ReadWith(std::string("Ha\0ll", 5)), "Ha");
}

TEST_F(DefaultName, AHugeFileIsReadOnlyUpToTheCap) {
    std::string big(kMaxDefaultFileBytes * 4, 'x');
    const auto name = ReadWith(big);
    ASSERT_TRUE(name);
    EXPECT_EQ(name->size(), kMaxDefaultFileBytes);
}

TEST_F(DefaultName, MissingOrStrangeFilesGiveNone) {
    EXPECT_EQ(ReadDefaultNameBeside(dir_.File("quillon")), std::nullopt);
    EXPECT_EQ(ReadDefaultNameBeside("quillon"), std::nullopt);  // no folder part
    // A FIFO would block a plain open for ever; a folder cannot be read.
    ASSERT_EQ(mkfifo(dir_.File("DEFAULT.TXT").c_str(), 0600), 0);
    EXPECT_EQ(ReadDefaultNameBeside(dir_.File("quillon")), std::nullopt);
    unlink(dir_.File("DEFAULT.TXT").c_str());
    ASSERT_EQ(mkdir(dir_.File("DEFAULT.TXT").c_str(), 0700), 0);
    EXPECT_EQ(ReadDefaultNameBeside(dir_.File("quillon")), std::nullopt);
}
}  // namespace
