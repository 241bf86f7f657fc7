// The command menu of the real launcher, driven from outside as a user's taps would: its
// entries in each state, "Dev Mode" (DEV.DAT and the viewer executable), "Monitor Mode", the
// remote start, the swallowed tap after a dismissed menu, and "Exit" with its teardown.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "tests/QUILLON/support_launcher.h"

namespace {
constexpr int kStepMs = 10000;

class MenuDriver {
public:
    explicit MenuDriver(LauncherWorld& world) : world_(world) {}

    // Queues `choice` ("id 1134", "none") for the next menu, taps, and returns the menu shown.
    std::string Open(const std::string& choice) {
        const size_t from = world_.Launcher().LineCount();
        EXPECT_TRUE(world_.Control("MENU " + choice));
        EXPECT_TRUE(world_.Control("TAP 100 100"));
        size_t at = 0;
        auto menu = world_.WaitPrefix("MENU: ", kStepMs, from, &at);
        if (!menu) {
            ADD_FAILURE() << "no menu\n" << world_.Transcript();
            return {};
        }
        EXPECT_TRUE(world_.WaitPrefix("MENU CHOICE: ", kStepMs, at + 1));
        return menu->substr(6);
    }

private:
    LauncherWorld& world_;
};

const std::string kBase = "Cleanup Desktop | --- | Restart Network | --- | ";

TEST(LauncherMenu, EntriesFollowTheStateAndEveryCommandActs) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("3.1.4.1"));
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.WaitStatus("Restoring QUILLON", kStepMs)) << world.Transcript();
    MenuDriver menu(world);

    // Nothing installed, no gateway: neither "Get Torvix" nor the start entries.
    EXPECT_EQ(menu.Open("id 1134"), kBase + "[x] Monitor Mode | Dev Mode | --- | Exit");
    EXPECT_TRUE(LauncherWorld::WaitFileEquals(world.Root() + "/NANDFLASH/DEV.DAT",
                                              std::string("\x01\0\0\0", 4), kStepMs));

    // A dismissed menu swallows the next tap; the one after opens it again.
    EXPECT_EQ(menu.Open("none"), kBase + "[x] Monitor Mode | [x] Dev Mode | --- | Exit");
    const size_t menusBefore = world.Launcher().CountLines("MENU: ");
    ASSERT_TRUE(world.Control("TAP 100 100"));
    EXPECT_FALSE(world.WaitPrefix("MENU: ", 600, world.Launcher().LineCount()));
    EXPECT_EQ(world.Launcher().CountLines("MENU: "), menusBefore);
    EXPECT_EQ(menu.Open("id 1129"), kBase + "[x] Monitor Mode | [x] Dev Mode | --- | Exit");

    // Dev mode: the one-shot installation fetches and starts the viewer, even with monitor mode off.
    ASSERT_TRUE(world.StartGateway());
    auto started = world.WaitSequence(
        {"Connected to gateway.", "No local version: loading...", "Download Sucess", "Torvix Loaded OK",
         "Staring Torvix...", "TORVIX.EXE Started OK", "Hiding QUILLON"},
        kStepMs);
    ASSERT_TRUE(started) << world.Transcript();
    auto request = world.Gateway().WaitForLine("DOWNLOAD_REQUEST", 1000);
    ASSERT_TRUE(request);
    EXPECT_NE(request->find("dev=1"), std::string::npos) << *request;
    EXPECT_TRUE(FileExists(world.Root() + "/ZVIEWER.EXE"));
    EXPECT_FALSE(FileExists(world.Root() + "/TORVIX.EXE"));
    ASSERT_TRUE(world.WaitTabletCount(1, 2000));
    EXPECT_EQ(ExecutableOf(world.TabletPids().front()), world.Root() + "/ZVIEWER.EXE");

    EXPECT_EQ(menu.Open("id 1131"),
              kBase + "Torvix Running | --- | Monitor Mode | [x] Dev Mode | --- | Exit");

    // It ends; monitor mode is off, so nothing starts it again. Connected with a version on both
    // sides: every entry is there.
    const size_t beforeEnd = world.Launcher().LineCount();
    world.StopTabletApps();
    ASSERT_TRUE(world.WaitSequence({"Restoring QUILLON", "Connected to gateway."}, kStepMs, beforeEnd))
        << world.Transcript();
    EXPECT_EQ(menu.Open("id 1128"),
              kBase +
                  "Get Torvix | --- | Start Torvix | Start Torvix Remote | --- | Monitor Mode | "
                  "[x] Dev Mode | --- | Exit");
    ASSERT_TRUE(world.WaitTabletCount(1, 5000)) << world.Transcript();
    const auto argv = CommandLineOf(world.TabletPids().front());
    ASSERT_EQ(argv.size(), 2u);
    EXPECT_EQ(argv[1], "/R");
    auto hidden = world.WaitStatus("Hiding QUILLON", kStepMs, beforeEnd + 3);
    ASSERT_TRUE(hidden) << world.Transcript();
    world.StopTabletApps();
    auto restored = world.WaitStatus("Restoring QUILLON", kStepMs, *hidden);
    ASSERT_TRUE(restored) << world.Transcript();
    // Back on the gateway first, so that the loss below is a change the launcher must announce.
    ASSERT_TRUE(world.WaitStatus("Connected to gateway.", kStepMs, *restored)) << world.Transcript();

    // The gateway gone: the start entries stay, "Get Torvix" goes.
    const size_t beforeLoss = world.Launcher().LineCount();
    world.KillGateway();
    ASSERT_TRUE(world.WaitStatus("Disconnected from gateway.", kStepMs, beforeLoss)) << world.Transcript();
    EXPECT_EQ(menu.Open("id 1130"),
              kBase + "Start Torvix | Start Torvix Remote | --- | Monitor Mode | [x] Dev Mode | --- | Exit");

    // "Exit": the window goes, then the tray icon; exit code 0 and both mutexes free.
    auto exited = world.WaitSequence({"Shutting Down...", "TRAY: delete"}, kStepMs, beforeLoss);
    ASSERT_TRUE(exited) << world.Transcript();
    auto status = world.Launcher().WaitExit(5000);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_TRUE(world.LockIsFree("QuillonMutex"));
    EXPECT_TRUE(world.LockIsFree("ShutdownQuillonMutex"));
    // DEV.DAT keeps the setting for the next start.
    EXPECT_EQ(ReadFile(world.Root() + "/NANDFLASH/DEV.DAT"), std::string("\x01\0\0\0", 4));
}

TEST(LauncherMenu, DevModeChosenTwiceRewritesTheFileWithZero) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.WaitStatus("Restoring QUILLON", kStepMs)) << world.Transcript();
    MenuDriver menu(world);
    menu.Open("id 1134");
    EXPECT_EQ(menu.Open("id 1134"), kBase + "[x] Monitor Mode | [x] Dev Mode | --- | Exit");
    // The second choice's command is handled right after the menu closes.
    EXPECT_TRUE(LauncherWorld::WaitFileEquals(world.Root() + "/NANDFLASH/DEV.DAT", std::string("\0\0\0\0", 4),
                                              kStepMs));
    EXPECT_EQ(menu.Open("none"), kBase + "[x] Monitor Mode | Dev Mode | --- | Exit");
}
}  // namespace
