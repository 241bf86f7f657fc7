// The device data file, checked by the bytes it holds under a device root of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "QUILLON/devicedata.h"
#include "tests/support/env_guard.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"

namespace {
using Bytes = std::vector<uint8_t>;

class DeviceDataTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(root_.empty()); }
    std::string File() const { return root_ + "/NANDFLASH/DEV.DAT"; }
    void Store(const Bytes& b) const {
        mkdir((root_ + "/NANDFLASH").c_str(), 0755);
        WriteFileBytes(File(), b);
    }
    Bytes Stored() const { return ReadFileBytes(File()); }
    int32_t Loaded(int32_t before = 0) const {
        int32_t devMode = before;
        LoadDeviceData(devMode);
        return devMode;
    }
    ScratchDir dir_{"os-devdata"};
    std::string root_ = dir_.Path();
    EnvGuard rootEnv_{"QUILLON_ROOT", root_};
};
}  // namespace

TEST_F(DeviceDataTest, FreshDeviceRootStartsOffAndPersistsTheToggle) {
    EXPECT_EQ(0, Loaded());
    EXPECT_EQ(5, Loaded(5));  // a missing file leaves the value alone
    SaveDeviceData(1);        // no NANDFLASH folder yet
    EXPECT_EQ((Bytes{1, 0, 0, 0}), Stored());
    EXPECT_EQ(1, Loaded());
}

TEST_F(DeviceDataTest, AnyNonZeroValueIsOnAndTheToggleWritesZero) {
    const Bytes onValues[] = {{1, 0, 0, 0}, {0, 0, 0, 0x80}, {0xFF, 0xFF, 0xFF, 0xFF}, {0, 2, 0, 0}};
    for (const Bytes& on : onValues) {
        Store(on);
        EXPECT_EQ(1, Loaded());
        SaveDeviceData(0);
        EXPECT_EQ((Bytes{0, 0, 0, 0}), Stored());
        EXPECT_EQ(0, Loaded(1));
    }
}

TEST_F(DeviceDataTest, ShortFilesLeaveTheValueAlone) {
    for (const Bytes& shortFile : {Bytes{}, Bytes{1}, Bytes{1, 0}, Bytes{1, 0, 0}}) {
        Store(shortFile);
        EXPECT_EQ(0, Loaded());
        EXPECT_EQ(1, Loaded(1));
    }
}

TEST_F(DeviceDataTest, LongerFileIsReadByItsFirstFourBytesAndTruncatedBySave) {
    Store({0, 0, 0, 0, 1, 1, 1, 1, 0xFF});
    EXPECT_EQ(0, Loaded());
    SaveDeviceData(1);
    EXPECT_EQ((Bytes{1, 0, 0, 0}), Stored());
}

TEST_F(DeviceDataTest, UnwritableLocationIsSilentlyNotSaved) {
    // NANDFLASH is a plain file: neither the folder nor DEV.DAT can be made.
    std::ofstream(root_ + "/NANDFLASH") << "x";
    SaveDeviceData(1);
    EXPECT_EQ(0, Loaded());
    std::ifstream in(root_ + "/NANDFLASH");
    EXPECT_EQ('x', in.get());
}
