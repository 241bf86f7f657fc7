// Tray icon state in the headless backend and the program's two built-in icons.
#include <gtest/gtest.h>

#include "COMMON/BM_UI/canvasinternal.h"
#include "COMMON/BM_UI/uirecords.h"
#include "QUILLON/icons.h"
#include "tests/BM_UI/uitestsupport.h"

namespace {
constexpr UINT kTrayMessage = 1124;

class TrayTest : public UiTest {
protected:
    void SetUp() override {
        UiTest::SetUp();
        hwnd_ = MakeWindow(u"CTrayOwner", u"Owner", WS_POPUP);
        connected_ = IconFromResource(IDI_CONNECTED);
        disconnected_ = IconFromResource(IDI_DISCONNECTED);
        record_.cbSize = NOTIFYICONDATAW_V1_SIZE;
        record_.hWnd = hwnd_;
        record_.uID = 1;
        record_.uFlags = NIF_MESSAGE | NIF_ICON;
        record_.uCallbackMessage = kTrayMessage;
        record_.hIcon = disconnected_;
    }
    void TearDown() override {
        DestroyIcon(connected_);
        DestroyIcon(disconnected_);
        UiTest::TearDown();
    }

    HWND hwnd_ = nullptr;
    HICON connected_ = nullptr;
    HICON disconnected_ = nullptr;
    NOTIFYICONDATAW record_{};
};

// The icon's pixel at (x, y) as drawn onto a black bitmap.
COLORREF IconPixel(HICON icon, int32_t x, int32_t y) {
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bmp = CreateCompatibleBitmap(dc, kIconSize, kIconSize);
    SelectObject(dc, bmp);
    cairo_surface_t* target = CanvasSurface(dc);
    cairo_t* cr = cairo_create(target);
    cairo_set_source_surface(cr, icon->surface, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    const COLORREF c = GetPixel(dc, x, y);
    DeleteDC(dc);
    DeleteObject(bmp);
    return c;
}
}  // namespace

TEST_F(TrayTest, BuiltInIconsAreSixteenSquareAndTellTheStatesApart) {
    ASSERT_NE(connected_, nullptr);
    ASSERT_NE(disconnected_, nullptr);
    EXPECT_EQ(IconFromResource(103), nullptr);
    EXPECT_EQ(IconResourceId(connected_), IDI_CONNECTED);
    EXPECT_EQ(connected_->width, 16);
    EXPECT_EQ(disconnected_->height, 16);
    const COLORREF green = IconPixel(connected_, 8, 8);
    EXPECT_GT(GetGValue(green), 150);
    EXPECT_LT(GetRValue(green), 100);
    EXPECT_EQ(IconPixel(connected_, 0, 0), RGB(0, 0, 0)) << "transparent corner";
    const COLORREF ring = IconPixel(disconnected_, 8, 1);
    EXPECT_GT(GetRValue(ring), 150);
    EXPECT_LT(GetGValue(ring), 100);
    EXPECT_EQ(IconPixel(disconnected_, 5, 5), RGB(255, 255, 255)) << "the cross";
    EXPECT_EQ(CreateIconFromPixels(0, 16, nullptr, 1), nullptr);
}

TEST_F(TrayTest, AddModifyDeleteKeepTheStateAndReportIt) {
    testing::internal::CaptureStderr();
    ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &record_));
    TrayRecord t = CurrentTray();
    EXPECT_TRUE(t.present);
    EXPECT_EQ(t.hwnd, hwnd_);
    EXPECT_EQ(t.id, 1u);
    EXPECT_EQ(t.callbackMessage, kTrayMessage);
    EXPECT_EQ(t.iconResourceId, IDI_DISCONNECTED);
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &record_)) << "already there";

    record_.hIcon = connected_;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &record_));
    EXPECT_EQ(CurrentTray().iconResourceId, IDI_CONNECTED);
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &record_));
    EXPECT_FALSE(CurrentTray().present);
    EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &record_));
    EXPECT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &record_));
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("TRAY: add icon 102\nTRAY: modify icon 101\nTRAY: delete\n"), std::string::npos)
        << printed;
}

TEST_F(TrayTest, BadRecordsAreRefused) {
    NOTIFYICONDATAW bad = record_;
    bad.cbSize = 88;
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &bad));
    bad = record_;
    bad.hWnd = nullptr;
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &bad));
    bad = record_;
    bad.hIcon = reinterpret_cast<HICON>(&bad);  // not an icon
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &bad));
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, nullptr));
    EXPECT_FALSE(Shell_NotifyIconW(7, &record_));
    EXPECT_FALSE(CurrentTray().present);
    ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &record_));
    bad = record_;
    bad.uID = 2;
    EXPECT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &bad)) << "another icon id";
}

TEST_F(TrayTest, TapSendsTheCallbackWithTheMouseMessages) {
    EXPECT_FALSE(InjectTrayTap()) << "no icon yet";
    ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &record_));
    ASSERT_TRUE(InjectTrayTap());
    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, hwnd_);
    EXPECT_EQ(msg.message, kTrayMessage);
    EXPECT_EQ(msg.wParam, 1u);
    EXPECT_EQ(msg.lParam, static_cast<LPARAM>(WM_LBUTTONDOWN));
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.lParam, static_cast<LPARAM>(WM_LBUTTONUP));
}

TEST_F(TrayTest, IconDestroyedWhileShownLeavesTheTrayIntact) {
    ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &record_));
    ASSERT_TRUE(DestroyIcon(disconnected_));
    EXPECT_FALSE(DestroyIcon(disconnected_));
    disconnected_ = nullptr;
    EXPECT_EQ(CurrentTray().iconResourceId, IDI_DISCONNECTED);
    record_.hIcon = connected_;
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &record_));
    DestroyWindow(hwnd_);
    EXPECT_FALSE(CurrentTray().present) << "the icon goes with its window";
    EXPECT_FALSE(InjectTrayTap());
    EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &record_));
}
