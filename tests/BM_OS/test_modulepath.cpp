// The executable's own path and the network-location check.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "COMMON/BM_OS/modulepath.h"

TEST(ModulePath, NamesThisExecutable) {
    const std::string path = ModuleFileName();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ('/', path[0]);
    struct stat self {};
    struct stat named {};
    ASSERT_EQ(0, stat("/proc/self/exe", &self));
    ASSERT_EQ(0, stat(path.c_str(), &named));
    EXPECT_EQ(self.st_ino, named.st_ino);
    EXPECT_EQ(self.st_dev, named.st_dev);
    EXPECT_FALSE(IsNetworkPath(path));  // the build tree is local here
}

TEST(ModulePath, TwoLeadingSeparatorsMeanANetworkLocation) {
    for (const char* path :
         {"//server/share/quillon", "\\\\server\\share\\quillon.exe", "/\\server", "\\/x"}) {
        EXPECT_TRUE(IsNetworkPath(path)) << path;
    }
    for (const char* path :
         {"", "/", "/tmp", "/nonexistent/quillon", "relative//path", "\\TORVIX.EXE", "a"}) {
        EXPECT_FALSE(IsNetworkPath(path)) << path;
    }
}
