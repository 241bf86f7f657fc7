// The canvas, checked by pixels: the launcher's layout (grey strip, yellow rows, green status
// lines, the pen line), the off-screen bitmap copied with BitBlt, and object bookkeeping.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "tests/BM_UI/uitestsupport.h"

namespace {
constexpr char16_t kClass[] = u"CPaintWnd";
constexpr int32_t kW = 800;
constexpr int32_t kH = 480;
constexpr int32_t kRows = 3;
constexpr int32_t kPitch = 14;
constexpr COLORREF kYellow = RGB(255, 255, 0);
constexpr COLORREF kGreen = RGB(100, 255, 100);
constexpr COLORREF kGrey = RGB(128, 128, 128);
constexpr COLORREF kBlack = RGB(0, 0, 0);

void Text(HDC hdc, int32_t x, int32_t y, const std::u16string& s) {
    ExtTextOutW(hdc, x, y, 0, nullptr, s.data(), static_cast<UINT>(s.size()), nullptr);
}

// The launcher's picture: panel rows, a line under them, status lines from the bottom.
void PaintLayout(HDC hdc) {
    RECT all{0, 0, kW, kH};
    FillRect(hdc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    RECT strip{0, 0, kW, kPitch * kRows + 10};
    FillRect(hdc, &strip, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
    SetTextColor(hdc, kYellow);
    SetBkMode(hdc, TRANSPARENT);
    HGDIOBJ oldFont = SelectObject(hdc, GetStockObject(SYSTEM_FONT));
    int32_t y = 0;
    for (int i = 0; i < kRows; ++i, y += kPitch) {
        Text(hdc, 5, y, u"Local Adapter");
        Text(hdc, kW / 2, y, u"127.0.0.1");
    }
    SetTextColor(hdc, kGreen);
    HGDIOBJ oldPen = SelectObject(hdc, GetStockObject(WHITE_PEN));
    MoveToEx(hdc, 0, y + 10, nullptr);
    LineTo(hdc, kW, y + 10);
    Text(hdc, 5, kH - 19, u"Quillon Startup");
    Text(hdc, 5, kH - 19 - kPitch, u"Connected to gateway.");
    SelectObject(hdc, oldPen);
    SelectObject(hdc, oldFont);
}

LRESULT LayoutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT ps{};
        HDC hdc = BeginPaint(hwnd, &ps);
        PaintLayout(hdc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// Text is antialiased: a pixel counts as `color` when it is close to it.
bool Near(COLORREF a, COLORREF b) {
    return std::abs(GetRValue(a) - GetRValue(b)) + std::abs(GetGValue(a) - GetGValue(b)) +
               std::abs(GetBValue(a) - GetBValue(b)) <=
           90;
}

// Rows [top, bottom) of the window that hold at least one pixel of `color` within x in [x0, x1).
std::pair<int32_t, int32_t> RowsWith(HWND hwnd, COLORREF color, int32_t x0, int32_t x1) {
    int32_t top = -1, bottom = -1;
    for (int32_t y = 0; y < kH; ++y) {
        for (int32_t x = x0; x < x1; ++x) {
            if (Near(WindowPixel(hwnd, x, y), color)) {
                if (top < 0) {
                    top = y;
                }
                bottom = y + 1;
                break;
            }
        }
    }
    return {top, bottom};
}

class PaintingTest : public UiTest {
protected:
    HWND MakeLayoutWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = LayoutProc;
        wc.lpszClassName = kClass;
        RegisterClassW(&wc);
        return CreateWindowExW(0, kClass, u"Paint", WS_POPUP | WS_VISIBLE, 0, 0, kW, kH, nullptr, nullptr,
                               nullptr, nullptr);
    }
};
}  // namespace

TEST_F(PaintingTest, PaintMessageDrawsTheLayout) {
    HWND hwnd = MakeLayoutWindow();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(Drain(), std::vector<UINT>{WM_PAINT});

    const int32_t stripBottom = kPitch * kRows + 10;
    EXPECT_EQ(WindowPixel(hwnd, kW - 1, 0), kGrey);
    EXPECT_EQ(WindowPixel(hwnd, kW - 1, stripBottom - 1), kGrey);
    EXPECT_EQ(WindowPixel(hwnd, kW - 2, stripBottom + 1), kBlack);
    // The pen line: one pixel high, end point excluded.
    EXPECT_EQ(WindowPixel(hwnd, 0, kPitch * kRows + 10), RGB(255, 255, 255));
    EXPECT_EQ(WindowPixel(hwnd, kW - 1, kPitch * kRows + 10), RGB(255, 255, 255));
    EXPECT_EQ(WindowPixel(hwnd, 0, kPitch * kRows + 11), kBlack);
    EXPECT_EQ(WindowPixel(hwnd, kW, 0), 0xFFFFFFFFu);

    // Yellow text: only inside the rows, labels on the left and values from the middle.
    const auto [yTop, yBottom] = RowsWith(hwnd, kYellow, 0, kW);
    EXPECT_GE(yTop, 0);
    EXPECT_LE(yTop, 4) << "the text's top is at y";
    EXPECT_GT(yBottom, kPitch * (kRows - 1));
    EXPECT_LE(yBottom, kPitch * kRows);
    EXPECT_GE(RowsWith(hwnd, kYellow, kW / 2, kW / 2 + 60).first, 0);
    EXPECT_LT(RowsWith(hwnd, kYellow, 0, 5).first, 0) << "left margin 5";
    for (int i = 0; i < kRows; ++i) {
        EXPECT_GE(RowsWith(hwnd, kYellow, 5, 120).first, 0);
        // Each row's own band holds yellow pixels.
        bool found = false;
        for (int32_t y = i * kPitch; y < (i + 1) * kPitch && !found; ++y) {
            for (int32_t x = 5; x < 120 && !found; ++x) {
                found = Near(WindowPixel(hwnd, x, y), kYellow);
            }
        }
        EXPECT_TRUE(found) << "row " << i;
    }

    // Green lines: the newest lowest, their tops at the given y.
    const auto [gTop, gBottom] = RowsWith(hwnd, kGreen, 0, kW);
    EXPECT_GE(gTop, kH - 19 - kPitch);
    EXPECT_LE(gTop, kH - 19 - kPitch + 4);
    EXPECT_LE(gBottom, kH - 19 + kPitch);
    EXPECT_LT(RowsWith(hwnd, kGreen, 0, kW).first, kH - 19) << "two lines";

    const std::string png = runtimeDir_ + "/window.png";
    ASSERT_TRUE(SaveWindowPng(hwnd, png));
    std::ifstream in(png, std::ios::binary);
    char magic[8] = {};
    in.read(magic, 8);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
}

TEST_F(PaintingTest, OffScreenBitmapCopiedToTheWindowContext) {
    HWND hwnd = MakeLayoutWindow();
    Drain();
    HDC window = GetDC(hwnd);
    ASSERT_NE(window, nullptr);
    HDC memory = CreateCompatibleDC(window);
    HBITMAP bitmap = CreateCompatibleBitmap(window, kW, kH);
    ASSERT_NE(bitmap, nullptr);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    ASSERT_NE(previous, nullptr) << "a new memory context holds a default bitmap to hand back";
    RECT all{0, 0, kW, kH};
    FillRect(memory, &all, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
    SetTextColor(memory, kGreen);
    SetBkMode(memory, TRANSPARENT);
    Text(memory, 5, 200, u"buffered");
    EXPECT_EQ(WindowPixel(hwnd, 400, 300), kBlack) << "nothing reaches the window before the copy";
    ASSERT_TRUE(BitBlt(window, 0, 0, kW, kH, memory, 0, 0, SRCCOPY));
    EXPECT_EQ(WindowPixel(hwnd, 400, 300), kGrey);
    EXPECT_EQ(GetPixel(window, 400, 300), kGrey);
    const auto [top, bottom] = RowsWith(hwnd, kGreen, 0, 200);
    EXPECT_GE(top, 200);
    EXPECT_LT(bottom, 200 + kPitch);

    EXPECT_FALSE(DeleteObject(bitmap)) << "still selected";
    // The usual order: restore the default bitmap, then the caller's bitmap can be freed.
    EXPECT_EQ(SelectObject(memory, previous), bitmap);
    EXPECT_TRUE(DeleteObject(bitmap)) << "a repaint must not keep its bitmap";
    EXPECT_FALSE(DeleteObject(bitmap)) << "already deleted";
    EXPECT_TRUE(DeleteDC(memory));
    EXPECT_TRUE(DeleteObject(previous)) << "the default bitmap is stock";
    EXPECT_EQ(ReleaseDC(hwnd, window), 1);
    EXPECT_EQ(ReleaseDC(hwnd, window), 0);
    EXPECT_EQ(WindowPixel(hwnd, 400, 300), kGrey) << "the window keeps what was drawn";

    // Copy of a part, offset in the source.
    HDC a = CreateCompatibleDC(nullptr);
    HBITMAP ab = CreateCompatibleBitmap(a, 20, 20);
    SelectObject(a, ab);
    RECT cell{10, 10, 20, 20};
    FillRect(a, &cell, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    HDC b = CreateCompatibleDC(nullptr);
    HBITMAP bb = CreateCompatibleBitmap(b, 20, 20);
    SelectObject(b, bb);
    ASSERT_TRUE(BitBlt(b, 0, 0, 10, 10, a, 10, 10, SRCCOPY));
    EXPECT_EQ(GetPixel(b, 0, 0), RGB(255, 255, 255));
    EXPECT_EQ(GetPixel(b, 10, 10), kBlack);
    EXPECT_FALSE(BitBlt(b, 0, 0, 10, 10, a, 0, 0, 0x00EE0086)) << "only SRCCOPY";
    DeleteDC(a);
    DeleteDC(b);
    DeleteObject(ab);
    DeleteObject(bb);
}

TEST_F(PaintingTest, TextHonoursCountAndSurvivesBadUtf16) {
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bmp = CreateCompatibleBitmap(dc, 200, 20);
    SelectObject(dc, bmp);
    SetTextColor(dc, RGB(255, 255, 255));
    SetBkMode(dc, TRANSPARENT);
    const std::u16string text = u"MMMMMMMMMM";
    ExtTextOutW(dc, 0, 0, 0, nullptr, text.data(), 2, nullptr);  // two of the ten characters
    int32_t right = -1;
    for (int32_t x = 0; x < 200; ++x) {
        for (int32_t y = 0; y < 20; ++y) {
            if (GetPixel(dc, x, y) != kBlack) {
                right = x;
            }
        }
    }
    EXPECT_GT(right, 5);
    EXPECT_LT(right, 24) << "a fixed-width font of about 7 pixels per character";
    // A control character draws nothing (no box glyph after a line that ends in a line feed).
    HDC lf = CreateCompatibleDC(nullptr);
    HBITMAP lfBmp = CreateCompatibleBitmap(lf, 200, 20);
    HGDIOBJ lfOld = SelectObject(lf, lfBmp);
    SetTextColor(lf, RGB(255, 255, 255));
    SetBkMode(lf, TRANSPARENT);
    const std::u16string withFeed = u"A\n";
    ExtTextOutW(lf, 0, 0, 0, nullptr, withFeed.data(), 2, nullptr);
    for (int32_t x = 9; x < 200; ++x) {
        for (int32_t y = 0; y < 20; ++y) {
            ASSERT_EQ(GetPixel(lf, x, y), kBlack) << x << "," << y;
        }
    }
    SelectObject(lf, lfOld);
    DeleteObject(lfBmp);
    DeleteDC(lf);
    const char16_t broken[] = {u'A', 0xD800, u'B', 0xDC00, 0};
    EXPECT_TRUE(ExtTextOutW(dc, 0, 0, 0, nullptr, broken, 4, nullptr));
    EXPECT_FALSE(ExtTextOutW(dc, 0, 0, 0, nullptr, nullptr, 3, nullptr));
    EXPECT_TRUE(ExtTextOutW(dc, 0, 0, 0, nullptr, nullptr, 0, nullptr));
    DeleteDC(dc);
    DeleteObject(bmp);
}

TEST_F(PaintingTest, ObjectsAndContextsAreValidated) {
    EXPECT_EQ(GetStockObject(99), nullptr);
    HGDIOBJ black = GetStockObject(BLACK_BRUSH);
    EXPECT_TRUE(DeleteObject(black)) << "stock objects are never deleted";
    EXPECT_EQ(GetStockObject(BLACK_BRUSH), black);
    RECT r{0, 0, 1, 1};
    EXPECT_EQ(FillRect(nullptr, &r, static_cast<HBRUSH>(black)), 0);
    EXPECT_EQ(CreateCompatibleBitmap(nullptr, 0, 10), nullptr);
    EXPECT_EQ(CreateCompatibleBitmap(nullptr, 10001, 10), nullptr);
    HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_EQ(FillRect(dc, &r, static_cast<HBRUSH>(black)), 0) << "no bitmap selected";
    EXPECT_EQ(SetBkMode(dc, TRANSPARENT), OPAQUE);
    EXPECT_EQ(SetTextColor(dc, RGB(1, 2, 3)), RGB(0, 0, 0));
    EXPECT_EQ(SetTextColor(dc, RGB(4, 5, 6)), RGB(1, 2, 3));
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    HBITMAP bmp = CreateCompatibleBitmap(dc, 4, 4);
    SelectObject(dc, bmp);
    SelectObject(dc, red);
    RECT all{0, 0, 4, 4};
    FillRect(dc, &all, red);
    EXPECT_EQ(GetPixel(dc, 3, 3), RGB(255, 0, 0));
    EXPECT_EQ(GetPixel(dc, 4, 0), 0xFFFFFFFFu);
    POINT old{};
    MoveToEx(dc, 3, 0, nullptr);
    MoveToEx(dc, 0, 1, &old);
    EXPECT_EQ(old.x, 3);
    LineTo(dc, 0, 4);  // vertical, end excluded
    EXPECT_EQ(GetPixel(dc, 0, 1), kBlack);
    EXPECT_EQ(GetPixel(dc, 0, 3), kBlack);
    EXPECT_EQ(GetPixel(dc, 0, 0), RGB(255, 0, 0));
    EXPECT_TRUE(DeleteObject(red));
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_FALSE(DeleteDC(dc));
    EXPECT_TRUE(DeleteObject(bmp));
    EXPECT_EQ(BeginPaint(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetDC(nullptr), nullptr);
}
