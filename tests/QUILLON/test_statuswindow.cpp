// The status window in-process on the headless backend: the log's 50-line cap, what is drawn
// where (read back by pixels), the panel rows, close and destroy, connection changes.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_UI/uicontrol.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/application.h"
#include "QUILLON/commandids.h"
#include "QUILLON/downloadprogress.h"
#include "QUILLON/quillon.h"
#include "QUILLON/statusecho.h"
#include "QUILLON/statusruns.h"
#include "tests/QUILLON/support_window.h"

namespace {
constexpr int32_t kWidth = 800;
constexpr int32_t kHeight = 480;  // the headless default screen
constexpr int32_t kNewestTop = kHeight - 19;

bool IsStatusGreen(COLORREF c) {
    return GetGValue(c) > 150 && GetRValue(c) < 160 && GetBValue(c) < 160;
}

// Whether any pixel of the band of text rows starting at `top` is drawn in the status colour.
bool BandHasGreen(HWND hwnd, int32_t top) {
    for (int32_t y = top; y < top + QuillonWnd::kRowPitch && y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth / 2; ++x) {
            if (IsStatusGreen(WindowPixel(hwnd, x, y))) {
                return true;
            }
        }
    }
    return false;
}

// The pixels of rows top..bottom-1, all columns.
std::vector<COLORREF> Band(HWND hwnd, int32_t top, int32_t bottom) {
    std::vector<COLORREF> pixels;
    for (int32_t y = top; y < bottom; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            pixels.push_back(WindowPixel(hwnd, x, y));
        }
    }
    return pixels;
}

using StatusWindow = LauncherWindowTest;

TEST_F(StatusWindow, KeepsTheNewestFiftyLines) {
    ASSERT_EQ(StatusLines(), std::vector<std::string>{"Quillon Startup"});
    for (int i = 1; i <= 60; ++i) {
        Window().AddStatusLine(BmString(("line " + std::to_string(i)).c_str()));
    }
    const auto lines = StatusLines();
    ASSERT_EQ(lines.size(), 50u);
    EXPECT_EQ(lines.front(), "line 11");
    EXPECT_EQ(lines.back(), "line 60");
}

TEST_F(StatusWindow, DrawsThePanelAndTheNewestLineLowest) {
    const int32_t rows = Window().InfoRowCount();
    const int32_t panelBottom = QuillonWnd::kRowPitch * rows + 10;
    // Grey strip with yellow text, black below it.
    EXPECT_EQ(WindowPixel(Handle(), kWidth - 1, 1), RGB(128, 128, 128));
    EXPECT_EQ(WindowPixel(Handle(), kWidth - 1, panelBottom), RGB(0, 0, 0));
    bool yellow = false;
    for (int32_t x = 0; x < 100 && !yellow; ++x) {
        for (int32_t y = 0; y < QuillonWnd::kRowPitch && !yellow; ++y) {
            const COLORREF c = WindowPixel(Handle(), x, y);
            yellow = GetRValue(c) > 200 && GetGValue(c) > 200 && GetBValue(c) < 100;
        }
    }
    EXPECT_TRUE(yellow) << "the first panel label is drawn in yellow";

    // "Quillon Startup" is the only line: in the lowest band, nothing above it.
    EXPECT_TRUE(BandHasGreen(Handle(), kNewestTop));
    EXPECT_FALSE(BandHasGreen(Handle(), kNewestTop - QuillonWnd::kRowPitch));

    // Two blank lines after it push it up two rows: the newest line is always lowest.
    Window().AddStatusLine(BmString(""));
    Window().AddStatusLine(BmString(" "));
    EXPECT_FALSE(BandHasGreen(Handle(), kNewestTop));
    EXPECT_FALSE(BandHasGreen(Handle(), kNewestTop - QuillonWnd::kRowPitch));
    EXPECT_TRUE(BandHasGreen(Handle(), kNewestTop - 2 * QuillonWnd::kRowPitch));

    // A run of equal lines is one row with its count after the text, so the line before the
    // run stays where it was; the stored log keeps every line.
    const auto rightmostGreen = [&](int32_t top) {
        int32_t right = -1;
        for (int32_t y = top; y < top + QuillonWnd::kRowPitch; ++y) {
            for (int32_t x = 0; x < kWidth; ++x) {
                right = IsStatusGreen(WindowPixel(Handle(), x, y)) ? std::max(right, x) : right;
            }
        }
        return right;
    };
    Window().AddStatusLine(BmString("Download failed (x): next try in 10 s"));
    Window().AddStatusLine(BmString("Ping From 127.0.0.1 GATEWAY\n"));
    const int32_t single = rightmostGreen(kNewestTop);
    for (int i = 0; i < 40; ++i) {
        Window().AddStatusLine(BmString("Ping From 127.0.0.1 GATEWAY\n"));
    }
    EXPECT_GT(rightmostGreen(kNewestTop), single + 20) << "the count is drawn after the text";
    EXPECT_TRUE(BandHasGreen(Handle(), kNewestTop - QuillonWnd::kRowPitch));      // the failure, still there
    EXPECT_TRUE(BandHasGreen(Handle(), kNewestTop - 4 * QuillonWnd::kRowPitch));  // "Quillon Startup"
    EXPECT_FALSE(BandHasGreen(Handle(), kNewestTop - 5 * QuillonWnd::kRowPitch));
    EXPECT_EQ(StatusLines().size(), 45u);
    EXPECT_EQ(StatusLines().back(), "Ping From 127.0.0.1 GATEWAY\n");
}

TEST_F(StatusWindow, DrawsOnlyTheLinesThatFitBelowThePanel) {
    const int32_t panelText = QuillonWnd::kRowPitch * Window().InfoRowCount();
    for (int i = 0; i < 50; ++i) {
        Window().AddStatusLine(BmString(("WWWWWWW" + std::to_string(i % 2)).c_str()));  // no runs
    }
    // The highest line drawn is the last baseline still below the panel's text; none above it.
    int32_t top = kNewestTop;
    while (top - QuillonWnd::kRowPitch > panelText) {
        top -= QuillonWnd::kRowPitch;
    }
    EXPECT_TRUE(BandHasGreen(Handle(), top));
    for (int32_t y = QuillonWnd::kRowPitch * Window().InfoRowCount() + 11; y < top; ++y) {
        ASSERT_FALSE(IsStatusGreen(WindowPixel(Handle(), 10, y))) << "y " << y;
    }
}

TEST_F(StatusWindow, DownloadBarFollowsTheProgressTenTimesASecondAndGoesAtTheEnd) {
    ScopedManualClock clock(5000);
    const int32_t rowsBottom = QuillonWnd::kRowPitch * Window().InfoRowCount();
    const int32_t barY = rowsBottom + 5;  // the strip's bottom margin
    const auto rows = Band(Handle(), 0, rowsBottom);
    const auto log = Band(Handle(), rowsBottom + 10, kHeight);
    const COLORREF grey = RGB(128, 128, 128);
    {
        WindowDownloadProgress progress(&Window());
        progress.OnProgress(0, 2000);
        EXPECT_EQ(WindowPixel(Handle(), 1, barY), QuillonWnd::kProgressTrackColor) << "shown at once";
        clock->Advance(50);
        progress.OnProgress(1000, 2000);
        EXPECT_EQ(WindowPixel(Handle(), 1, barY), QuillonWnd::kProgressTrackColor) << "not yet repainted";
        clock->Advance(50);
        progress.OnProgress(1000, 2000);
        EXPECT_EQ(WindowPixel(Handle(), kWidth / 2 - 2, barY), QuillonWnd::kStatusTextColor);
        EXPECT_EQ(WindowPixel(Handle(), kWidth / 2 + 2, barY), QuillonWnd::kProgressTrackColor);
        EXPECT_EQ(WindowPixel(Handle(), kWidth - 1, rowsBottom), grey) << "the bar leaves the strip's edge";
        EXPECT_EQ(Band(Handle(), 0, rowsBottom), rows) << "the panel rows keep their place";
        EXPECT_EQ(Band(Handle(), rowsBottom + 10, kHeight), log) << "the log keeps its place";
        clock->Advance(100);
        progress.OnProgress(3000, 2000);  // beyond the total: not believed
        EXPECT_EQ(WindowPixel(Handle(), kWidth / 2 + 2, barY), QuillonWnd::kProgressTrackColor);
    }
    for (int32_t x : {0, kWidth / 2, kWidth - 1}) {
        EXPECT_EQ(WindowPixel(Handle(), x, barY), grey) << "gone at x " << x;
    }
    EXPECT_EQ(Band(Handle(), 0, rowsBottom), rows);
}

TEST(DownloadProgressLines, ATenthAtATimeOnceADownloadOutlastsTwoSeconds) {
    EXPECT_EQ(WindowDownloadProgress::ProgressLine(10800000, 27000000), "download 40 % (10.8 of 27.0 MB)");
    EXPECT_EQ(WindowDownloadProgress::ProgressLine(49999, 2147483647), "download 0 % (0.0 of 2147.5 MB)");
    ScopedManualClock clock;
    FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        WindowDownloadProgress progress(nullptr, fileno(out));
        progress.OnProgress(5000000, 10000000);  // within two seconds: quiet
        clock->Advance(WindowDownloadProgress::kQuietMs + 1);
        progress.OnProgress(5400000, 10000000);
        progress.OnProgress(5900000, 10000000);  // the same tenth
        progress.OnProgress(6000000, 10000000);
        progress.OnProgress(6000000, 0);
        progress.OnProgress(-1, 10000000);
    }
    std::rewind(out);
    char text[256] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, out);
    std::fclose(out);
    EXPECT_EQ(std::string(text, n), "download 54 % (5.4 of 10.0 MB)\ndownload 60 % (6.0 of 10.0 MB)\n");

    WindowDownloadProgress broken(nullptr, -1);
    clock->Advance(WindowDownloadProgress::kQuietMs + 1);
    errno = ENOSPC;
    broken.OnProgress(5000000, 10000000);
    EXPECT_EQ(errno, ENOSPC) << "a failed line leaves the file's error for the caller";
}

TEST_F(StatusWindow, PanelRowsInTheirOrder) {
    const int32_t rows = Window().InfoRowCount();
    ASSERT_GE(rows, 9);
    const int32_t adapters = rows - 8;
    for (int32_t i = 0; i < adapters; ++i) {
        EXPECT_EQ(TextOf(Window().InfoLabelAt(i)), "Local Adapter");
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Local Version", "UNKNOWN"},
        {"Gateway Version", "UNKNOWN"},
        {"Torvel running", "YES"},  // still unknown (-1) before the first pass
        {"Con Gateway", "NO"},
        {"QUILLON.EXE Version", "6.9 Build 114.0 Rel"},
        {"Build Date", __DATE__},
        {"Build Time", ""},
        {"Target CPU", ""}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const int32_t row = adapters + static_cast<int32_t>(i);
        EXPECT_EQ(TextOf(Window().InfoLabelAt(row)), expected[i].first);
        if (!expected[i].second.empty()) {
            EXPECT_EQ(TextOf(Window().InfoValueAt(row)), expected[i].second);
        }
    }
    EXPECT_EQ(TextOf(Window().InfoValueAt(rows - 2)).size(), 8u);  // hh:mm:ss
    EXPECT_FALSE(TextOf(Window().InfoValueAt(rows - 1)).empty());

    Core().appRunning = 0;
    Core().localVersion.AssignNarrow("1.0.12.305");
    Window().RebuildInfoPanel();
    EXPECT_EQ(TextOf(Window().InfoValueAt(adapters)), "1.0.12.305");
    EXPECT_EQ(TextOf(Window().InfoValueAt(adapters + 2)), "NO");
    EXPECT_EQ(Window().InfoRowCount(), rows);
}

TEST_F(StatusWindow, CloseHidesAndDestroyEndsTheLoop) {
    ASSERT_TRUE(IsWindowVisible(Handle()));
    SendMessageW(Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(Handle()));
    EXPECT_NE(LiveWindow(), nullptr);

    // The tray tap brings it back; a tap-down alone does not.
    SendMessageW(Handle(), WM_TRAYNOTIFY, 1, WM_LBUTTONDOWN);
    EXPECT_FALSE(IsWindowVisible(Handle()));
    SendMessageW(Handle(), WM_TRAYNOTIFY, 1, WM_LBUTTONUP);
    EXPECT_TRUE(IsWindowVisible(Handle()));

    SendMessageW(Handle(), WM_DESTROY, 0, 0);
    EXPECT_EQ(LiveWindow(), nullptr);
    EXPECT_EQ(Core().View(), nullptr);
    MSG msg{};
    bool quit = false;
    for (int i = 0; i < 20 && !quit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        DispatchMessageW(&msg);
        quit = msg.message == WM_QUIT;
    }
    EXPECT_TRUE(quit);
}

TEST_F(StatusWindow, ConnectionChangeShowsALineAndTheClientsOwnState) {
    ASSERT_EQ(CurrentTray().iconResourceId, 102);
    // Told "connected" while the client is not: the line follows the news, the icon the client.
    Window().OnConnectionChanged(true);
    EXPECT_EQ(StatusLines().back(), "Connected to gateway.");
    EXPECT_EQ(CurrentTray().iconResourceId, 102);
    Window().OnConnectionChanged(false);
    EXPECT_EQ(StatusLines().back(), "Disconnected from gateway.");
}

TEST_F(StatusWindow, StartupDefaultsShowsTheWindowAndTurnsMonitorModeOn) {
    Core().monitorMode = 0;
    ShowWindow(Handle(), SW_HIDE);
    SendMessageW(Handle(), WM_COMMAND, IDM_STARTUP_DEFAULTS, 0);
    EXPECT_EQ(StatusLines().back(), "Startup Defaults");
    EXPECT_EQ(Core().monitorMode, 1);
    EXPECT_TRUE(IsWindowVisible(Handle()));
    // A command whose first parameter carries a high half is no command of ours.
    SendMessageW(Handle(), WM_COMMAND, (WPARAM{1} << 16) | IDM_MONITOR_MODE, 0);
    EXPECT_EQ(Core().monitorMode, 1);
    SendMessageW(Handle(), WM_COMMAND, IDM_MONITOR_MODE, 0);
    EXPECT_EQ(Core().monitorMode, 0);
}

TEST_F(StatusWindow, LinesAfterTheWindowIsGoneAreDropped) {
    SendMessageW(Handle(), WM_DESTROY, 0, 0);
    ASSERT_EQ(LiveWindow(), nullptr);
    QuillonWnd other(Core());  // not live: its lines go nowhere
    other.AddStatusLine(BmString("late"));
    EXPECT_EQ(other.StatusLineCount(), 0);
}

TEST(StatusEcho, OneStatusLineIsOneOutputLine) {
    EXPECT_EQ(StatusEchoText(BmString("Ping From 10.0.0.5 HOUSE\n")), "Ping From 10.0.0.5 HOUSE");
    EXPECT_EQ(StatusEchoText(BmString(u"Startup Defaults")), "Startup Defaults");
    // A gateway's name is untrusted: embedded line breaks cannot forge further lines.
    EXPECT_EQ(StatusEchoText(BmString("Ping From 1.2.3.4 A\nTORVIX.EXE Started OK\n")),
              "Ping From 1.2.3.4 A?TORVIX.EXE Started OK");
    EXPECT_EQ(StatusEchoText(BmString("\n")), "");
    EXPECT_EQ(StatusEchoText(BmString(u"K\u00fcche \u20ac")),
              "K\xfc"
              "che \xe2\x82\xac");
}

TEST(StatusEcho, RepeatsAreCountedUntilAnotherLineOrAMinute) {
    struct Step {
        const char* line;  // nullptr: a tick only
        uint32_t at;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::string> written;
    };
    const Case cases[] = {
        {"different lines pass", {{"a", 0}, {"b", 1}, {"a", 2}}, {"a", "b", "a"}},
        {"a run is counted when it ends",
         {{"w", 0}, {"w", 60}, {"w", 120}, {"x", 180}},
         {"w", "w (repeated 2 times)", "x"}},
        {"one repeat", {{"w", 0}, {"w", 1}, {"x", 2}}, {"w", "w (repeated 1 time)", "x"}},
        {"a minute's count is written by a tick and starts again",
         {{"w", 100}, {"w", 200}, {"w", 300}, {nullptr, 60199}, {nullptr, 60200}, {"w", 60300}, {"x", 60400}},
         {"w", "w (repeated 2 times)", "w (repeated 1 time)", "x"}},
        {"or by the next repeat after the minute",
         {{"w", 0}, {"w", 10}, {"w", 60010}, {"w", 60020}},
         {"w", "w (repeated 2 times)"}},
        {"the clock wraps",
         {{"w", 0xFFFFFF00u}, {"w", 0xFFFFFFF0u}, {nullptr, 60000}},
         {"w", "w (repeated 1 time)"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> out;
        RepeatCollapser echo([&out](const std::string& line) { out.push_back(line); });
        for (const Step& step : c.steps) {
            if (step.line != nullptr) {
                echo.Line(step.line, step.at);
            } else {
                echo.Tick(step.at);
            }
        }
        EXPECT_EQ(out, c.written) << c.name;
    }
}

TEST(StatusEcho, JournalPriorityPerLineOnlyWhenStandardErrorIsTheJournal) {
    const struct {
        const char* line;
        int priority;
    } cases[] = {
        {"ERROR: Can't start TORVIX.EXE", kJournalError},
        {"ERROR: Could not Download new EXE", kJournalError},
        {"Download failed (TORVIX.EXE: connection closed): next try in 10 s", kJournalError},
        {"Download failed: TORVIX.EXE: connection closed", kJournalError},
        {"Download failed (no valid signature: unknown key 5C417BF1985B690E): next try in 20 s",
         kJournalError},
        {"Error Loading Torvix", kJournalError},
        {"Torvix 2.0.0.7 ended 3 times within 10 s: back to 1.0.0.1", kJournalError},
        {"Update refused: starting the installed version...", kJournalError},
        {"Not taking Torvix 2.0.0.7 again (rolled back: it ended 3 times): keeping 1.0.0.1", kJournalError},
        {"Torvix 2.0.0.7 ended 3 times within 10 s: no previous version to go back to", kJournalError},
        {"Roll back failed: /var/lib/quillon/TORVIX.EXE: No space left on device", kJournalError},
        {"TORVIX.EXE counts as missing (no valid signature: not signed)", kJournalError},
        {"quillon: /etc/quillon/trusted-keys/a.pub: cannot be read: every update is refused", kJournalError},
        {"Torvix 2.0.0.7 passed its trial", kJournalInfo},
        {"Version still differs after download: next try in 10 s", kJournalWarning},
        {"Torvix ended after 2 s, 3 times: next start in 40 s", kJournalWarning},
        {"Disconnected from gateway.", kJournalWarning},
        {"Disconnected from gateway. (repeated 2 times)", kJournalWarning},
        {"Error Getting Version Info From Gateway...", kJournalWarning},
        {"Torvix killed by signal 9 after 5 s", kJournalWarning},
        {"Torvix exited with code 1 after 2 s", kJournalWarning},
        {"Torvix exited with code 0 after 2 s", kJournalInfo},
        {"Torvix exited with code 10 after 2 s", kJournalWarning},
        {"Waiting for ping response.", kJournalInfo},
        {"Waiting for ping response. (repeated 812 times)", kJournalInfo},
        {"Connected to gateway.", kJournalInfo},
        {"TORVIX.EXE Started OK", kJournalInfo},
        {"download 40 % (10.8 of 27.0 MB)", kJournalInfo},
        {"Ping From 10.0.0.5 X: back to 1: refused: next try in 1 s\n", kJournalInfo},  // a gateway's name
        {"Wrong System, Looking For: refused\n", kJournalInfo},
        {"", kJournalInfo},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.priority, JournalPriority(c.line)) << c.line;
        EXPECT_EQ("<" + std::to_string(c.priority) + ">" + c.line, JournalLine(c.line, true));
        EXPECT_EQ(c.line, JournalLine(c.line, false));  // not the journal: byte for byte as ever
    }

    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    struct stat st {};
    ASSERT_EQ(fstat(fileno(file), &st), 0);
    const std::string dev = std::to_string(st.st_dev);
    const std::string ino = std::to_string(st.st_ino);
    const struct {
        std::string value;
        bool journal;
    } streams[] = {{dev + ":" + ino, true},
                   {dev + ":" + std::to_string(st.st_ino + 1), false},
                   {std::to_string(st.st_dev + 1) + ":" + ino, false},
                   {dev + ":" + ino + "x", false},
                   {dev + ino, false},
                   {":" + ino, false},
                   {"", false}};
    for (const auto& s : streams) {
        EXPECT_EQ(s.journal, IsJournalStream(s.value.c_str(), fileno(file))) << s.value;
    }
    EXPECT_FALSE(IsJournalStream(nullptr, fileno(file)));
    std::fclose(file);
}

TEST(StatusRunsTest, ARunOfEqualLinesTakesOneRowWithItsCount) {
    struct Case {
        const char* name;
        std::vector<const char16_t*> lines;
        size_t maxRows;
        std::vector<std::pair<std::u16string, uint32_t>> rows;
    };
    const Case cases[] = {
        {"different lines keep a row each", {u"a", u"b", u"a"}, 50, {{u"a", 1}, {u"b", 1}, {u"a", 1}}},
        {"a run is one row",
         {u"Download failed (x): next try in 10 s", u"Disconnected from gateway.",
          u"Waiting for ping response.", u"Waiting for ping response.", u"Waiting for ping response."},
         50,
         {{u"Download failed (x): next try in 10 s", 1},
          {u"Disconnected from gateway.", 1},
          {u"Waiting for ping response.", 3}}},
        {"runs before and after another line stay apart",
         {u"w", u"w", u"x", u"w", u"w", u"w"},
         50,
         {{u"w", 2}, {u"x", 1}, {u"w", 3}}},
        {"the oldest rows go beyond the limit, however long the run",
         {u"a", u"b", u"c", u"c", u"c", u"c", u"d"},
         2,
         {{u"c", 4}, {u"d", 1}}},
        {"case matters", {u"w", u"W"}, 50, {{u"w", 1}, {u"W", 1}}},
    };
    for (const Case& c : cases) {
        StatusRuns runs(c.maxRows);
        for (const char16_t* line : c.lines) {
            runs.Add(BmString(line));
        }
        std::vector<std::pair<std::u16string, uint32_t>> rows;
        for (const StatusRuns::Row& row : runs.Rows()) {
            BmString text(row.text);
            rows.emplace_back(text.WideText(), row.count);
        }
        EXPECT_EQ(rows, c.rows) << c.name;
    }
    // Narrow and wide forms of the same text are one run.
    StatusRuns mixed(50);
    mixed.Add(BmString("Waiting for ping response."));
    mixed.Add(BmString(u"Waiting for ping response."));
    ASSERT_EQ(mixed.Rows().size(), 1u);
    EXPECT_EQ(mixed.Rows().front().count, 2u);
    EXPECT_EQ(std::u16string(StatusRuns::CountSuffix(1).WideText()), u"");
    EXPECT_EQ(std::u16string(StatusRuns::CountSuffix(37).WideText()), u"  \u00D737");
}
}  // namespace
