// The real launcher with the X11 backend on an Xvfb display of its own: the first start (install
// with the download bar on the screen, launch, the window back when the application has ended),
// a click that opens the menu, "Exit" chosen with the pointer, and the message box of a launcher
// started from a network location, dismissed with its OK button. Screenshots of each.
#include <cairo.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "COMMON/BM_UI/msgboxlayout.h"
#include "tests/QUILLON/support_faults.h"
#include "tests/QUILLON/support_launcher.h"

namespace {
constexpr int kStepMs = 15000;
constexpr int kMenuItemHeight = 28;  // the X11 menu's layout: items, separators, padding
constexpr int kMenuSeparatorHeight = 9;
constexpr int kMenuPadding = 4;
constexpr size_t kPadBytes = 8000000;
constexpr uint32_t kBarColour = 0x64FF64;  // the status text colour
constexpr uint32_t kTrackColour = 0x505050;

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

// "KEY=VALUE" lines of a program's output (xdotool --shell) as integers.
std::map<std::string, int> ShellValues(const std::vector<std::string>& lines) {
    std::map<std::string, int> values;
    for (const auto& line : lines) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
        }
    }
    return values;
}

// The colour at (x, y) of a PNG file, or 0xFFFFFFFF.
uint32_t PngPixel(const std::string& path, int x, int y) {
    cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
    uint32_t pixel = 0xFFFFFFFF;
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS && x >= 0 && y >= 0 &&
        x < cairo_image_surface_get_width(s) && y < cairo_image_surface_get_height(s)) {
        cairo_surface_flush(s);
        const auto* row = cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
        pixel = reinterpret_cast<const uint32_t*>(row)[x] & 0xFFFFFF;
    }
    cairo_surface_destroy(s);
    return pixel;
}

// An Xvfb server of the test's own; skipped (failed in CI) without the X tools.
class LauncherOnX11 : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Executable("/usr/bin/Xvfb") || !Executable("/usr/bin/xdotool") ||
            !Executable("/usr/bin/import")) {
            if (std::getenv("CI") != nullptr) {
                FAIL() << "Xvfb, xdotool and ImageMagick's import are needed in CI";
            }
            GTEST_SKIP() << "Xvfb, xdotool or import is missing";
        }
        // Xvfb picks a free display itself and tells its number on standard output.
        ASSERT_TRUE(xvfb_.Start("/usr/bin/Xvfb",
                                {"-displayfd", "1", "-screen", "0", "800x480x24", "-nolisten", "tcp"}));
        auto number = xvfb_.WaitForLine("", 10000);
        ASSERT_TRUE(number && !number->empty()) << "Xvfb did not start";
        display_ = ":" + *number;
    }

    PeerProcess xvfb_;
    std::string display_;
};

TEST_F(LauncherOnX11, FirstStartThenTheMenuAndExitWithThePointer) {
    const std::string& display = display_;
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    // A large executable sent slowly in pieces: about four seconds of download bar.
    std::ofstream(world.ServedFile(), std::ios::app | std::ios::binary) << std::string(kPadBytes, '\0');
    ASSERT_TRUE(world.StartGateway({"--pieces", "--trickle", "200000/100"}));
    // The application runs 1 s and asks not to be restarted, so the window stays for the menu.
    ASSERT_TRUE(world.StartLauncher({"/NAME:"}, {"QUILLON_UI=x11", "DISPLAY=" + display, "DEMO_APP_SECONDS=1",
                                                 "DEMO_APP_HOLD_SHUTDOWN=1"}));
    ASSERT_TRUE(world.WaitStatus("No local version: loading...", kStepMs)) << world.Transcript();
    // Past two seconds a line at each tenth; the first comes about half-way.
    auto progress = world.WaitPrefix("download ", kStepMs);
    ASSERT_TRUE(progress) << world.Transcript();
    EXPECT_EQ(progress->substr(progress->size() - 4), " MB)") << *progress;
    const std::string artifacts = ArtifactsDir();
    const std::string shot = artifacts + "/x11-download-progress.png";
    ASSERT_TRUE(Screenshot(display, shot));
    int barY = -1;
    for (int y = 0; y < 240 && barY < 0; ++y) {
        barY = PngPixel(shot, 200, y) == kBarColour ? y : -1;
    }
    ASSERT_GE(barY, 0) << "a bar across the panel strip";
    EXPECT_EQ(PngPixel(shot, 790, barY), kTrackColour) << "not yet at its end";

    auto restored =
        world.WaitSequence({"Quillon Startup", "Restoring QUILLON", "No local version: loading...",
                            "Download Sucess", "TORVIX.EXE Started OK", "Hiding QUILLON", "ShutdownMutex",
                            "Restoring QUILLON", "Connected to gateway."},
                           kStepMs);
    ASSERT_TRUE(restored) << world.Transcript();
    EXPECT_EQ(world.CountStatus("UI: cannot use X11"), 0u);
    usleep(300000);  // let the restored window be painted

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
TEST_F(LauncherOnX11, NetworkLocationRefusalWaitsForOkInAMessageBox) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    const std::string copy = CopyLauncherTo(world.Dir() + "/share");
    ASSERT_TRUE(world.StartLauncher({}, {"QUILLON_UI=x11", "DISPLAY=" + display_}, "/" + copy));
    ASSERT_TRUE(world.WaitStatus(
        "MESSAGEBOX: Brenmoor Quillon: ERROR: Quillon Should not be run from a network drive", kStepMs))
        << world.Transcript();
    PeerProcess search;
    PeerProcess::Options opts;
    opts.args = {"search", "--sync", "--name", "^Brenmoor Quillon$", "getwindowgeometry", "--shell"};
    opts.env = {"DISPLAY=" + display_};
    opts.mergeStderr = true;
    ASSERT_TRUE(search.Start("/usr/bin/xdotool", opts));
    ASSERT_TRUE(search.WaitForLine("HEIGHT=", kStepMs)) << search.Transcript() << world.Transcript();
    auto box = ShellValues(search.Lines());
    EXPECT_GE(box["WIDTH"], kMessageBoxMinWidth);
    usleep(200000);  // let it draw
    ASSERT_TRUE(Screenshot(display_, ArtifactsDir() + "/x11-messagebox.png"));
    EXPECT_TRUE(world.Launcher().Running()) << "it waits for the person";

    ASSERT_TRUE(Click(display_, box["X"] + box["WIDTH"] / 2,
                      box["Y"] + box["HEIGHT"] - kMessageBoxMargin - kMessageBoxButtonHeight / 2));
    auto status = world.Launcher().WaitExit(5000);
    ASSERT_TRUE(status) << world.Transcript();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_EQ(world.CountStatus("Quillon Startup"), 0u);
}
}  // namespace
