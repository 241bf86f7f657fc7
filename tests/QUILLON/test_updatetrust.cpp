// The launcher's signature policy over real minisign keys: off without keys, fail-closed with a
// broken key folder, and the installed file's check, which must see a change made in place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "QUILLON/updatetrust.h"
#include "tests/support/files.h"
#include "tests/support/minisign_kit.h"
#include "tests/support/scratch_dir.h"

namespace {
TEST(UpdateTrust, PolicyFromTheKeyFolderAndTheInstalledFilesCheck) {
    ASSERT_FALSE(MinisignKit::Program().empty()) << "minisign is not installed (scripts/deps)";
    ScratchDir dir("quillon-trust");
    MinisignKit kit(dir.Path());
    ASSERT_TRUE(kit.MakeKey("trusted"));
    const std::string keys = dir.File("keys");
    const std::string broken = dir.File("broken");
    ASSERT_TRUE(mkdir(keys.c_str(), 0700) == 0 && mkdir(broken.c_str(), 0700) == 0);
    ASSERT_TRUE(CopyFile(kit.PublicKey("trusted"), keys + "/trusted.pub", 0644));
    ASSERT_TRUE(WriteFile(broken + "/x.pub", "junk"));
    const std::string payload(70000, 'p');
    ASSERT_TRUE(WriteFile(dir.File("payload"), payload));
    const auto sig = kit.Sign(dir.File("payload"), "trusted");
    ASSERT_TRUE(sig);
    const std::string installed = dir.File("TORVIX.EXE");
    ASSERT_TRUE(WriteSignedFile(installed, payload, *sig));

    struct Case {
        const char* name;
        std::string folder;
        bool loads;
        bool checking;
        std::string note;
    };
    const Case cases[] = {
        {"no folder", dir.File("missing"), true, false,
         "quillon: no trusted keys in " + dir.File("missing") + ": updates are installed unchecked"},
        {"a key", keys, true, true, ""},
        {"a broken key refuses everything", broken, false, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateTrust trust;
        std::string problem;
        EXPECT_EQ(c.loads, trust.Load(c.folder, &problem)) << problem;
        EXPECT_EQ(c.checking, trust.CheckingOn());
        EXPECT_EQ(c.note, trust.StartNote());
        std::string cause;
        EXPECT_EQ(c.loads, trust.InstalledFileValid(installed, &cause)) << cause;
        EXPECT_EQ(c.loads ? "" : "no valid signature: unknown key " + kit.KeyId("trusted"), cause);
    }

    // The installed file is read again once it changed, even in place and at the same size.
    UpdateTrust trust;
    std::string cause;
    ASSERT_TRUE(trust.Load(keys, &cause));
    ASSERT_TRUE(trust.InstalledFileValid(installed, &cause));
    // File times advance in clock ticks of a few ms: a change within the same tick would look
    // unchanged (the start itself still checks the file in full).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int fd = open(installed.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_TRUE(fd >= 0 && pwrite(fd, "q", 1, 100) == 1);
    close(fd);
    EXPECT_FALSE(trust.InstalledFileValid(installed, &cause));
    EXPECT_EQ("no valid signature: signature does not verify", cause);
    EXPECT_TRUE(UpdateTrust::IsRefusal(cause));
    ASSERT_TRUE(WriteFile(installed, payload));
    EXPECT_FALSE(trust.InstalledFileValid(installed, &cause));
    EXPECT_EQ("no valid signature: not signed", cause);
    // What the installer's gate checked is not read again; a later change still is.
    trust.NoteInstalled(installed);
    EXPECT_TRUE(trust.InstalledFileValid(installed, &cause));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(WriteFile(installed, payload + "x"));
    EXPECT_FALSE(trust.InstalledFileValid(installed, &cause));
    unlink(installed.c_str());
    EXPECT_FALSE(trust.InstalledFileValid(installed, &cause));
    EXPECT_EQ(installed + ": No such file or directory", cause);
    EXPECT_FALSE(UpdateTrust::IsRefusal(cause));

    EXPECT_EQ("Update to 1.0.0.2 refused: no valid signature: not signed",
              UpdateTrust::RefusalReport("1.0.0.2", "no valid signature: not signed"));
    EXPECT_EQ("Update to an unknown version refused: no valid signature: bad trailer: signature length 0",
              UpdateTrust::RefusalReport("", "no valid signature: bad trailer: signature length 0"));
}
}  // namespace
