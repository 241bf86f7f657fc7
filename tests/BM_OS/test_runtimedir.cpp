// The runtime folder: where it is, and that only a private folder of our own is used.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "COMMON/BM_OS/runtimedir.h"
#include "tests/support/env_guard.h"
#include "tests/support/scratch_dir.h"

namespace {
class RuntimeDirTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(base_.empty()); }
    static mode_t Mode(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    ScratchDir dir_{"os-rundir"};
    std::string base_ = dir_.Path();
    EnvGuard runtimeEnv_{"QUILLON_RUNTIME_DIR", nullptr};
};
}  // namespace

TEST_F(RuntimeDirTest, ChosenFromTheEnvironmentAndMadePrivate) {
    setenv("QUILLON_RUNTIME_DIR", (base_ + "/given").c_str(), 1);
    EXPECT_EQ(base_ + "/given", RuntimeDir());
    EXPECT_EQ(0700u, Mode(base_ + "/given"));

    unsetenv("QUILLON_RUNTIME_DIR");
    const EnvGuard xdg("XDG_RUNTIME_DIR", base_);
    EXPECT_EQ(base_ + "/quillon", RuntimeDir());
}

TEST_F(RuntimeDirTest, OnlyARealFolderOfOurOwnIsUsed) {
    const std::string open = base_ + "/open";
    ASSERT_EQ(0, mkdir(open.c_str(), 0777));
    chmod(open.c_str(), 0777);
    setenv("QUILLON_RUNTIME_DIR", open.c_str(), 1);
    EXPECT_EQ(open, RuntimeDir());
    EXPECT_EQ(0700u, Mode(open));  // narrowed

    const std::string link = base_ + "/link";
    ASSERT_EQ(0, symlink(open.c_str(), link.c_str()));
    setenv("QUILLON_RUNTIME_DIR", link.c_str(), 1);
    EXPECT_EQ("", RuntimeDir());
    EXPECT_EQ(link + ": a symbolic link, not a directory", RuntimeDirProblem());

    const std::string file = base_ + "/file";
    ASSERT_EQ(0, std::system(("touch '" + file + "'").c_str()));
    setenv("QUILLON_RUNTIME_DIR", file.c_str(), 1);
    EXPECT_EQ("", RuntimeDir());
    EXPECT_EQ(file + ": not a directory", RuntimeDirProblem());

    setenv("QUILLON_RUNTIME_DIR", (base_ + "/missing/deeper").c_str(), 1);
    EXPECT_EQ("", RuntimeDir());
    EXPECT_EQ(base_ + "/missing/deeper: No such file or directory", RuntimeDirProblem());

    if (geteuid() == 0) {  // only root can give a folder away
        const std::string foreign = base_ + "/foreign";
        ASSERT_EQ(0, mkdir(foreign.c_str(), 0700));
        ASSERT_EQ(0, chown(foreign.c_str(), 12345, 12345));
        setenv("QUILLON_RUNTIME_DIR", foreign.c_str(), 1);
        EXPECT_EQ("", RuntimeDir());
        EXPECT_EQ(foreign + ": owned by uid 12345, not by this user (uid 0)", RuntimeDirProblem());
    }
    setenv("QUILLON_RUNTIME_DIR", open.c_str(), 1);
    EXPECT_EQ(open, RuntimeDir());
    EXPECT_EQ("", RuntimeDirProblem());
}

TEST(RuntimeName, OnlyPlainFileNamesAreSafe) {
    for (const char* good :
         {"TorvixMutex", "CQuillonWnd.ZenoLauncher: Tap Below for Options", "..a", "a.b"}) {
        EXPECT_TRUE(IsSafeRuntimeName(good)) << good;
    }
    for (const char* bad : {"", ".", "..", "a/b", "/x"}) {
        EXPECT_FALSE(IsSafeRuntimeName(bad)) << bad;
    }
    EXPECT_FALSE(IsSafeRuntimeName(std::string(201, 'x')));
    EXPECT_TRUE(IsSafeRuntimeName(std::string(200, 'x')));
    EXPECT_FALSE(IsSafeRuntimeName(std::string("a\0b", 3)));
}
