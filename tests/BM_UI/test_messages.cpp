// The message queue and windows: creation, retrieval order, painting on demand, dispatch,
// filters, limits, metrics, cursor and message box (headless backend).
#include <gtest/gtest.h>
#include <stdlib.h>

#include "COMMON/BM_UI/msgboxlayout.h"
#include "COMMON/BM_UI/uistate.h"
#include "tests/BM_UI/uitestsupport.h"
#include "tests/support/env_guard.h"

namespace {
constexpr char16_t kClass[] = u"CTestWnd";
constexpr char16_t kTitle[] = u"Test Window";

using MessageTest = UiTest;

const CREATESTRUCTW* gCreateSeen = nullptr;
std::u16string gCreateTitle;
LRESULT RefusingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        gCreateSeen = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        gCreateTitle = gCreateSeen->lpszName;
        return -1;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

std::vector<UINT> OtherProcMessages;
LRESULT OtherProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    OtherProcMessages.push_back(message);
    return RecordingProc(hwnd, message, wParam, lParam) + 1000;
}
}  // namespace

TEST_F(MessageTest, CreationSendsCreateBeforeReturningAndCanBeRefused) {
    HWND hwnd = MakeWindow(kClass, kTitle);
    ASSERT_NE(hwnd, nullptr);
    ASSERT_FALSE(ReceivedMessages().empty());
    EXPECT_EQ(ReceivedMessages().front().message, WM_CREATE);
    EXPECT_EQ(ReceivedMessages().front().hwnd, hwnd);
    EXPECT_TRUE(IsWindowVisible(hwnd));
    RECT r{};
    ASSERT_TRUE(GetWindowRect(hwnd, &r));
    EXPECT_EQ(r.right - r.left, 800);
    EXPECT_EQ(r.bottom - r.top, 480);

    WNDCLASSW wc{};
    wc.lpfnWndProc = RefusingProc;
    wc.lpszClassName = u"CRefuse";
    ASSERT_NE(RegisterClassW(&wc), 0);
    EXPECT_EQ(RegisterClassW(&wc), 0) << "a class is registered once";
    EXPECT_EQ(
        CreateWindowExW(0, u"CRefuse", u"No", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr),
        nullptr);
    EXPECT_EQ(gCreateTitle, u"No");
    EXPECT_EQ(FindWindowW(u"CRefuse", u"No"), nullptr);
    EXPECT_EQ(CreateWindowExW(0, u"CUnknown", u"x", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr),
              nullptr);
}

TEST_F(MessageTest, PostedMessagesComeFirstThenQuitThenPaint) {
    HWND hwnd = MakeWindow(kClass, kTitle);  // visible, so invalid until painted
    ReceivedMessages().clear();
    ASSERT_TRUE(PostMessageW(hwnd, WM_COMMAND, 1132, 0));
    ASSERT_TRUE(PostMessageW(hwnd, WM_USER + 1, 7, -7));
    PostQuitMessage(3);

    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_COMMAND);
    EXPECT_EQ(msg.wParam, 1132u);
    EXPECT_EQ(LOWORD(msg.wParam), 1132);
    DispatchMessageW(&msg);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 1);
    EXPECT_EQ(msg.lParam, -7);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(DispatchMessageW(&msg), 0);

    // Paint stays pending until the procedure validates the window.
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_PAINT);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_PAINT);
    DispatchMessageW(&msg);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    // Showing asked for erasing: the paint's BeginPaint sends WM_ERASEBKGND.
    ASSERT_EQ(ReceivedMessages().size(), 3u);
    EXPECT_EQ(ReceivedMessages()[0].message, WM_COMMAND);
    EXPECT_EQ(ReceivedMessages()[1].message, WM_PAINT);
    EXPECT_EQ(ReceivedMessages()[2].message, WM_ERASEBKGND);
}

TEST_F(MessageTest, PaintOnlyForInvalidVisibleWindows) {
    HWND hwnd = MakeWindow(kClass, kTitle, WS_POPUP);  // hidden
    EXPECT_FALSE(IsWindowVisible(hwnd));
    EXPECT_TRUE(Drain().empty());
    InvalidateRect(hwnd, nullptr, TRUE);
    EXPECT_TRUE(Drain().empty()) << "a hidden window is not painted";

    EXPECT_FALSE(ShowWindow(hwnd, SW_SHOW));
    EXPECT_EQ(Drain(), std::vector<UINT>{WM_PAINT});
    EXPECT_TRUE(Drain().empty());

    RECT part{0, 0, 10, 10};
    InvalidateRect(hwnd, &part, FALSE);
    ReceivedMessages().clear();
    UpdateWindow(hwnd);  // paints at once, through no queue
    ASSERT_EQ(ReceivedMessages().size(), 1u);
    EXPECT_EQ(ReceivedMessages()[0].message, WM_PAINT);
    EXPECT_TRUE(Drain().empty());
    UpdateWindow(hwnd);
    EXPECT_EQ(ReceivedMessages().size(), 1u) << "nothing to update";

    EXPECT_TRUE(ShowWindow(hwnd, SW_HIDE));
    InvalidateRect(hwnd, nullptr, TRUE);
    EXPECT_TRUE(Drain().empty());
}

TEST_F(MessageTest, DispatchReachesTheProcedureOfTheMessagesWindow) {
    HWND a = MakeWindow(kClass, u"A", WS_POPUP);
    WNDCLASSW wc{};
    wc.lpfnWndProc = OtherProc;
    wc.lpszClassName = u"COther";
    ASSERT_NE(RegisterClassW(&wc), 0);
    HWND b = CreateWindowExW(0, u"COther", u"B", WS_POPUP, 0, 0, 50, 50, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(b, nullptr);
    OtherProcMessages.clear();
    ReceivedMessages().clear();
    PostMessageW(b, WM_COMMAND, 2, 0);
    PostMessageW(a, WM_COMMAND, 1, 0);
    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(DispatchMessageW(&msg), 1000) << "the other procedure's result";
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(DispatchMessageW(&msg), 0);
    EXPECT_EQ(OtherProcMessages, std::vector<UINT>{WM_COMMAND});
    ASSERT_EQ(ReceivedMessages().size(), 2u);
    EXPECT_EQ(ReceivedMessages()[0].hwnd, b);
    EXPECT_EQ(ReceivedMessages()[1].hwnd, a);
    EXPECT_EQ(ReceivedMessages()[1].wParam, 1u);
}

TEST_F(MessageTest, FiltersAndNoRemoveLeaveOtherMessagesQueued) {
    HWND a = MakeWindow(kClass, u"A", WS_POPUP);
    HWND b = MakeWindow(kClass, u"B", WS_POPUP);
    PostMessageW(a, WM_USER, 0, 0);
    PostMessageW(b, WM_COMMAND, 0, 0);
    PostMessageW(nullptr, WM_APP, 0, 0);  // a thread message
    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, b, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_COMMAND);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, nullptr);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, b);
    EXPECT_EQ(Drain(), std::vector<UINT>{WM_USER});
}

TEST_F(MessageTest, DestroyedWindowsLoseTheirMessagesAndHandles) {
    HWND hwnd = MakeWindow(kClass, kTitle);
    PostMessageW(hwnd, WM_USER, 0, 0);
    ReceivedMessages().clear();
    EXPECT_EQ(DefWindowProcW(hwnd, WM_CLOSE, 0, 0), 0);  // the default close destroys
    ASSERT_EQ(ReceivedMessages().size(), 1u);
    EXPECT_EQ(ReceivedMessages()[0].message, WM_DESTROY);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_TRUE(Drain().empty());
    MSG stale{hwnd, WM_USER, 0, 0, 0, {}};
    EXPECT_EQ(DispatchMessageW(&stale), 0);
    EXPECT_FALSE(PostMessageW(hwnd, WM_USER, 0, 0));
    EXPECT_FALSE(ShowWindow(hwnd, SW_SHOW));
    EXPECT_EQ(FindWindowW(kClass, kTitle), nullptr);
    EXPECT_FALSE(DestroyWindow(hwnd));
}

TEST_F(MessageTest, QueueIsBounded) {
    HWND hwnd = MakeWindow(kClass, kTitle, WS_POPUP);
    size_t accepted = 0;
    while (accepted < UiState::kMaxQueuedMessages + 10 && PostMessageW(hwnd, WM_USER, accepted, 0)) {
        ++accepted;
    }
    EXPECT_EQ(accepted, UiState::kMaxQueuedMessages);
    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u) << "the oldest first";
    EXPECT_TRUE(PostMessageW(hwnd, WM_USER, 0, 0));
}

TEST_F(MessageTest, WindowTextAndFindWindow) {
    HWND hwnd = MakeWindow(kClass, kTitle, WS_POPUP);
    EXPECT_EQ(FindWindowW(kClass, kTitle), hwnd);
    EXPECT_EQ(FindWindowW(nullptr, kTitle), hwnd);
    EXPECT_EQ(FindWindowW(kClass, u"Other"), nullptr);
    ASSERT_TRUE(SetWindowTextW(hwnd, u"Renamed"));
    char16_t buffer[4];
    EXPECT_EQ(GetWindowTextW(hwnd, buffer, 4), 3);
    EXPECT_EQ(std::u16string(buffer), u"Ren");
    EXPECT_EQ(FindWindowW(kClass, u"Renamed"), hwnd);
}

TEST(MetricsTest, ScreenFromEnvironmentWithSaneFallback) {
    const struct {
        const char* value;
        int32_t width;
        int32_t height;
    } cases[] = {{"1024x768", 1024, 768}, {"240x320", 240, 320},      {nullptr, 800, 480},
                 {"0x480", 800, 480},     {"-800x480", 800, 480},     {"800x-1", 800, 480},
                 {"10001x10", 800, 480},  {"800X480", 800, 480},      {"800x480x", 800, 480},
                 {"x480", 800, 480},      {"99999999999x1", 800, 480}};
    for (const auto& c : cases) {
        UseBackend("headless", c.value);
        EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), c.width) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), c.height) << (c.value ? c.value : "(unset)");
    }
    UseBackend("headless", "640x400");
    EXPECT_EQ(GetSystemMetrics(SM_CYCAPTION), 0);
    EXPECT_EQ(GetSystemMetrics(SM_CYMENU), 0);
    EXPECT_EQ(GetSystemMetrics(SM_CYDLGFRAME), 0);
    RECT work{};
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
    EXPECT_EQ(work.right, 640);
    EXPECT_EQ(work.bottom, 400);
    EXPECT_FALSE(SystemParametersInfoW(SPI_GETWORKAREA, 0, nullptr, 0));
    EXPECT_EQ(UiBackendName(), "headless");
    UseBackend("headless");
}

TEST(MetricsTest, WithoutDisplayTheBackendIsHeadless) {
    const EnvGuard display("DISPLAY", nullptr);
    {
        const EnvGuard ui("QUILLON_UI", nullptr);
        DropBackendForTests();
        EXPECT_EQ(UiBackendName(), "headless");
    }
    const EnvGuard ui("QUILLON_UI", "bogus");
    DropBackendForTests();
    EXPECT_EQ(UiBackendName(), "headless");
    UseBackend("headless");
}

TEST_F(MessageTest, WaitCursorAndMessageBox) {
    HCURSOR wait = LoadCursorW(nullptr, IDC_WAIT);
    HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    ASSERT_NE(wait, nullptr);
    ASSERT_NE(wait, arrow);
    EXPECT_EQ(SetCursor(wait), nullptr);
    EXPECT_EQ(SetCursor(arrow), wait);
    EXPECT_EQ(SetCursor(nullptr), arrow);

    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxW(nullptr, u"ERROR: Quillon Should not be run from a network drive",
                          u"Brenmoor Quillon", MB_OK),
              IDOK);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "MESSAGEBOX: Brenmoor Quillon: ERROR: Quillon Should not be run from a network drive"),
              std::string::npos);
}

TEST_F(MessageTest, MessageBoxTextWrapsAtSpacesCutsLongWordsAndKeepsToTheScreen) {
    const RECT screen{0, 0, 320, 240};  // room for 29 characters of 7 pixels on a line
    const auto refusal = LayoutMessageBox(u"ERROR: Quillon Should not be run from a network drive", screen);
    EXPECT_EQ(refusal.lines,
              (std::vector<std::u16string>{u"ERROR: Quillon Should not be", u"run from a network drive"}));
    EXPECT_LE(refusal.width, 320);
    EXPECT_GE(refusal.button.top, kMessageBoxMargin + 2 * kMessageBoxLineHeight) << "below the text";
    EXPECT_EQ(refusal.height, refusal.button.bottom + kMessageBoxMargin);

    const std::u16string word(40, u'W');
    EXPECT_EQ(LayoutMessageBox(u"A\r\n" + word, screen).lines,
              (std::vector<std::u16string>{u"A", word.substr(0, 29), word.substr(29)}));
    const auto tall = LayoutMessageBox(std::u16string(100, u'\n'), screen);
    EXPECT_LE(tall.height, 240) << tall.lines.size() << " lines";
}

TEST_F(MessageTest, TapInjectionGivesButtonMessagesAndCursor) {
    HWND hwnd = MakeWindow(kClass, kTitle, WS_POPUP);
    ASSERT_TRUE(InjectTap(hwnd, 120, 340));
    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_LBUTTONDOWN);
    EXPECT_EQ(GET_X_LPARAM(msg.lParam), 120);
    EXPECT_EQ(GET_Y_LPARAM(msg.lParam), 340);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_LBUTTONUP);
    POINT p{};
    ASSERT_TRUE(GetCursorPos(&p));
    EXPECT_EQ(p.x, 120);
    EXPECT_EQ(p.y, 340);
    EXPECT_FALSE(InjectTap(nullptr, 1, 1));
}

TEST(MetricsTest, UnreachableDisplayFallsBackToHeadlessWithANote) {
    const EnvGuard display("DISPLAY", ":9999");
    testing::internal::CaptureStderr();
    UseBackend("x11");
    EXPECT_EQ(UiBackendName(), "headless");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("using the headless backend"), std::string::npos);
    UseBackend("headless");
}
