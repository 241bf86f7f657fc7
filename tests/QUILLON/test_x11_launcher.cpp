// The first start of the real launcher with the X11 backend on an Xvfb display of its own:
// install, launch, the window back when the application has ended, a screenshot of the status
// window, a click that opens the menu (screenshot), and "Exit" chosen with the pointer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "tests/QUILLON/support_launcher.h"

namespace {
constexpr int kStepMs = 15000;
constexpr int kMenuItemHeight = 28;  // the X11 menu's layout: items, separators, padding
constexpr int kMenuSeparatorHeight = 9;
constexpr int kMenuPadding = 4;

bool Executable(const char* path) {
    return access(path, X_OK) == 0;
}

std::string ArtifactsDir() {
    const std::string dir = std::string(QUILLON_BINARY_DIR) + "/artifacts";
    mkdir(dir.c_str(), 0755);
    return dir;
}

// Runs an X client against `display` to its end; true on exit status 0.
bool RunOnDisplay(const std::string& display, std::vector<std::string> argv) {
    EnvGuard guard("DISPLAY", display);
    return RunToEnd(argv) == 0;
}

bool Screenshot(const std::string& display, const std::string& path) {
    unlink(path.c_str());
    return RunOnDisplay(display, {"/usr/bin/import", "-window", "root", path}) && FileExists(path);
}

bool Click(const std::string& display, int x, int y) {
    return RunOnDisplay(
        display, {"/usr/bin/xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"});
}

// Height of the menu described by a "MENU: a | --- | b" line, and the number of its entries.
int MenuHeight(const std::string& description) {
    int height = 2 * kMenuPadding;
    std::stringstream in(description);
    std::string part;
    while (std::getline(in, part, '|')) {
        height += part.find("---") != std::string::npos ? kMenuSeparatorHeight : kMenuItemHeight;
    }
    return height;
}

TEST(LauncherOnX11, FirstStartThenTheMenuAndExitWithThePointer) {
    const bool ci = std::getenv("CI") != nullptr;
    if (!Executable("/usr/bin/Xvfb") || !Executable("/usr/bin/xdotool") || !Executable("/usr/bin/import")) {
        if (ci) {
            FAIL() << "Xvfb, xdotool and ImageMagick's import are needed in CI";
        }
        GTEST_SKIP() << "Xvfb, xdotool or import is missing";
    }
    // Xvfb picks a free display itself and tells its number on standard output.
    PeerProcess xvfb;
    ASSERT_TRUE(
        xvfb.Start("/usr/bin/Xvfb", {"-displayfd", "1", "-screen", "0", "800x480x24", "-nolisten", "tcp"}));
    auto number = xvfb.WaitForLine("", 10000);
    ASSERT_TRUE(number && !number->empty()) << "Xvfb did not start";
    const std::string display = ":" + *number;

    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.StartGateway());
    // The application runs 1 s and asks not to be restarted, so the window stays for the menu.
    ASSERT_TRUE(world.StartLauncher({"/NAME:"}, {"QUILLON_UI=x11", "DISPLAY=" + display, "DEMO_APP_SECONDS=1",
                                                 "DEMO_APP_HOLD_SHUTDOWN=1"}));
    auto restored =
        world.WaitSequence({"Quillon Startup", "Restoring QUILLON", "No local version: loading...",
                            "Download Sucess", "TORVIX.EXE Started OK", "Hiding QUILLON", "ShutdownMutex",
                            "Restoring QUILLON", "Connected to gateway."},
                           kStepMs);
    ASSERT_TRUE(restored) << world.Transcript();
    EXPECT_EQ(world.CountStatus("UI: cannot use X11"), 0u);
    usleep(300000);  // let the restored window be painted

    const std::string artifacts = ArtifactsDir();
    ASSERT_TRUE(Screenshot(display, artifacts + "/x11-launcher-window.png"));

    // A click on the window opens the menu at the pointer, right-aligned to it.
    const int x = 400;
    const int y = 100;
    const size_t beforeMenu = world.Launcher().LineCount();
    ASSERT_TRUE(Click(display, x, y));
    size_t at = 0;
    auto menu = world.WaitPrefix("MENU: ", kStepMs, beforeMenu, &at);
    ASSERT_TRUE(menu) << world.Transcript();
    EXPECT_NE(menu->find("Get Torvix"), std::string::npos) << *menu;
    EXPECT_NE(menu->find("Start Torvix"), std::string::npos) << *menu;
    usleep(300000);
    ASSERT_TRUE(Screenshot(display, artifacts + "/x11-launcher-menu.png"));

    // "Exit" is the last entry; the menu opened downwards from the pointer (it fits).
    const int height = MenuHeight(menu->substr(6));
    ASSERT_LT(y + height, 480);
    ASSERT_TRUE(Click(display, x - 20, y + height - kMenuPadding - kMenuItemHeight / 2));
    ASSERT_TRUE(world.WaitStatus("MENU CHOICE: 1130", kStepMs, at)) << world.Transcript();
    ASSERT_TRUE(world.WaitSequence({"Shutting Down...", "TRAY: delete"}, kStepMs, at)) << world.Transcript();
    auto status = world.Launcher().WaitExit(5000);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}
}  // namespace
