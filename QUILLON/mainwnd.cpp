#include "QUILLON/mainwnd.h"

#include <algorithm>
#include <string>
#include <vector>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/adapterinfo.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/commandids.h"
#include "QUILLON/commandmenu.h"
#include "QUILLON/launcher.h"
#include "QUILLON/programnames.h"
#include "QUILLON/statusecho.h"
#include "QUILLON/supervisor.h"

namespace {
// The window the static window procedure serves: set by CreateMainWindow, cleared only by Detach.
QuillonWnd* gLiveWindow = nullptr;

constexpr char16_t kStartupLine[] = u"Quillon Startup";
constexpr char16_t kShuttingDownLine[] = u"Shutting Down...";
// The download bar's rows, below the last panel row, in the strip's 10-pixel bottom margin.
constexpr int32_t kBarTop = 2;
constexpr int32_t kBarBottom = 9;

// The processor the program was built for, as a Linux user names it.
constexpr const char16_t* kTargetCpu =
#if defined(__x86_64__)
    u"x86_64";
#elif defined(__i386__)
    u"i686";
#elif defined(__aarch64__)
    u"aarch64";
#elif defined(__arm__)
    u"arm";
#elif defined(__riscv)
    u"riscv64";
#else
    u"unknown";
#endif

struct WindowSize {
    int32_t width = 0;
    int32_t height = 0;
};

WindowSize SizeOf(HWND hwnd) {
    RECT rect{};
    if (hwnd == nullptr || !GetWindowRect(hwnd, &rect)) {
        return {};
    }
    return {rect.right - rect.left, rect.bottom - rect.top};
}

// The height a Win32 frame and caption take around a client area; the layout leaves room for it.
int32_t FrameHeight() {
    return 2 * GetSystemMetrics(SM_CYDLGFRAME) + GetSystemMetrics(SM_CYMENU) + GetSystemMetrics(SM_CYCAPTION);
}

void DrawText(HDC dc, int32_t x, int32_t y, BmString text) {
    const char16_t* wide = text.WideText();
    ExtTextOutW(dc, x, y, 0, nullptr, wide, static_cast<UINT>(text.Length()), nullptr);
}

uint16_t ListenerIdFrom(Launcher& launcher) {
    BmServer* client = launcher.GatewayClient();
    return client != nullptr ? client->NextListenerId() : 0;
}
}  // namespace

QuillonWnd* LiveWindow() {
    return gLiveWindow;
}

QuillonWnd::QuillonWnd(Launcher& launcher) : GatewayListener(ListenerIdFrom(launcher)), launcher_(launcher) {
    if (gLiveWindow != nullptr) {
        BM_ASSERT_REPORT();
    }
    if (BmServer* client = launcher_.GatewayClient()) {
        client->AddListener(this);
    }
}

QuillonWnd::~QuillonWnd() {
    Detach();
    if (BmServer* client = launcher_.GatewayClient()) {
        client->RemoveListener(this);
    }
    FreeStrings(statusLines_);
    ClearInfoPanel();
}

void QuillonWnd::FreeStrings(ValueList& list) {
    while (!list.IsEmpty()) {
        delete reinterpret_cast<BmString*>(list.RemoveHead());
    }
}

BmString QuillonWnd::StringAt(const ValueList& list, int32_t index) {
    if (index < 0 || index >= list.Count()) {
        return BmString();
    }
    const auto* text = reinterpret_cast<const BmString*>(list.ValueAt(list.NodeAt(index)));
    return text != nullptr ? BmString(*text) : BmString();
}

BmString QuillonWnd::StatusLineAt(int32_t index) const {
    return StringAt(statusLines_, index);
}
BmString QuillonWnd::InfoLabelAt(int32_t index) const {
    return StringAt(infoLabels_, index);
}
BmString QuillonWnd::InfoValueAt(int32_t index) const {
    return StringAt(infoValues_, index);
}

HWND QuillonWnd::GetWindowHandle() {
    return gLiveWindow != nullptr ? gLiveWindow->hwnd_ : nullptr;
}

void QuillonWnd::Detach() {
    if (gLiveWindow == this) {
        gLiveWindow = nullptr;
    }
    if (launcher_.View() == this) {
        launcher_.SetView(nullptr);
    }
}

void QuillonWnd::ShowLauncher(bool shown) {
    ShowWindow(hwnd_, shown ? SW_SHOW : SW_HIDE);
}

bool QuillonWnd::RequestExit() {
    return PostMessageW(hwnd_, WM_DESTROY, 0, 0) != FALSE;
}

int32_t QuillonWnd::RunSupervisor() {
    return RunLauncherLoop(launcher_);
}

BmString QuillonWnd::YesNo(int32_t flag) {
    return BmString(flag != 0 ? u"YES" : u"NO");
}

bool QuillonWnd::CreateMainWindow(int32_t showCommand) {
    WNDCLASSW wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = &QuillonWnd::WindowProc;
    wc.lpszClassName = kMainWindowClass;
    if (RegisterClassW(&wc) == 0) {
        BM_ASSERT_REPORT();
    }
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = GetSystemMetrics(SM_CXSCREEN);
    int32_t height = GetSystemMetrics(SM_CYSCREEN);
    RECT work{};
    if (SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
        x = work.left;
        y = work.top;
        if (width >= work.right - work.left) {
            width = work.right - work.left;
        }
        if (height >= work.bottom - work.top) {
            height = work.bottom - work.top;
        }
    }
    if (gLiveWindow != nullptr && gLiveWindow != this) {
        BM_ASSERT_REPORT();
    }
    gLiveWindow = this;
    launcher_.SetView(this);
    HWND hwnd = CreateWindowExW(0, kMainWindowClass, kMainWindowTitle, WS_POPUP | WS_VISIBLE | WS_CAPTION, x,
                                y, width, height, nullptr, nullptr, nullptr, nullptr);
    if (hwnd == nullptr) {
        Detach();
        return false;
    }
    hwnd_ = hwnd;
    SetWindowTextW(hwnd, kMainWindowTitle);
    ShowWindow(hwnd, showCommand);
    RebuildInfoPanel();
    UpdateWindow(hwnd);
    AddStatusLine(BmString(kStartupLine));
    return true;
}

void QuillonWnd::AddStatusLine(const BmString& text) {
    if (gLiveWindow != this) {
        return;
    }
    statusLines_.AddTail(reinterpret_cast<ListValue>(new BmString(text)));
    while (statusLines_.Count() > kMaxStatusLines) {
        delete reinterpret_cast<BmString*>(statusLines_.RemoveHead());
    }
    drawnRows_.Add(text);
    EchoStatusLine(text);
    RepaintBuffered();
}

void QuillonWnd::AddInfoRow(BmString label, BmString value) {
    infoLabels_.AddTail(reinterpret_cast<ListValue>(new BmString(label)));
    infoValues_.AddTail(reinterpret_cast<ListValue>(new BmString(value)));
}

void QuillonWnd::ClearInfoPanel() {
    FreeStrings(infoLabels_);
    FreeStrings(infoValues_);
}

void QuillonWnd::RebuildInfoPanel() {
    if (gLiveWindow != this) {
        return;
    }
    ClearInfoPanel();
    const std::vector<std::string> addresses = LocalIPv4Addresses();
    if (addresses.empty()) {
        AddInfoRow(BmString(u"Local Adapter"), BmString(u"Unknown"));
    }
    for (const std::string& address : addresses) {
        AddInfoRow(BmString(u"Local Adapter"), BmString(address.c_str()));
    }
    AddInfoRow(BmString(u"Local Version"), launcher_.localVersion);
    AddInfoRow(BmString(u"Gateway Version"), launcher_.gatewayVersion);
    AddInfoRow(BmString(u"Torvel running"), YesNo(launcher_.appRunning));
    AddInfoRow(BmString(u"Con Gateway"), YesNo(launcher_.Connected() ? 1 : 0));
    AddInfoRow(BmString(u"QUILLON.EXE Version"), BmString(kBuildString));
    AddInfoRow(BmString(u"Build Date"), BmString(__DATE__));
    AddInfoRow(BmString(u"Build Time"), BmString(__TIME__));
    AddInfoRow(BmString(u"Target CPU"), BmString(kTargetCpu));
}

void QuillonWnd::PaintWindow(HDC dc) {
    const WindowSize size = SizeOf(hwnd_);
    const int32_t rows = infoLabels_.Count();
    const RECT whole{0, 0, size.width, size.height};
    FillRect(dc, &whole, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    const RECT panel{0, 0, size.width, kRowPitch * rows + 10};
    FillRect(dc, &panel, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));

    SetTextColor(dc, kPanelTextColor);
    SetBkMode(dc, TRANSPARENT);
    HGDIOBJ previousFont = SelectObject(dc, GetStockObject(SYSTEM_FONT));
    int32_t y = 0;
    ValueListNode* label = infoLabels_.HeadNode();
    ValueListNode* value = infoValues_.HeadNode();
    while (label != nullptr && value != nullptr) {
        DrawText(dc, kTextMargin, y, *reinterpret_cast<BmString*>(infoLabels_.NextValue(label)));
        DrawText(dc, size.width / 2, y, *reinterpret_cast<BmString*>(infoValues_.NextValue(value)));
        y += kRowPitch;
    }

    DrawProgressBar(dc, y, size.width);

    SetTextColor(dc, kStatusTextColor);
    HGDIOBJ previousPen = SelectObject(dc, GetStockObject(BLACK_PEN));
    MoveToEx(dc, 0, y + 10, nullptr);
    LineTo(dc, size.width, y + 10);
    DrawStatusLog(dc, y, size.height);

    SelectObject(dc, previousFont);
    SelectObject(dc, previousPen);
}

BmString QuillonWnd::RowText(const StatusRuns::Row& row) {
    if (row.count <= 1) {
        return row.text;
    }
    BmString copy(row.text);
    std::u16string text = copy.WideText();
    if (!text.empty() && text.back() == u'\n') {
        text.pop_back();  // a discovery line's own line feed: the count goes on the same row
    }
    BmString drawn(text.c_str());
    drawn.AppendWide(StatusRuns::CountSuffix(row.count).WideText());
    return drawn;
}

void QuillonWnd::DrawStatusLog(HDC dc, int32_t top, int32_t height) {
    int32_t baseline = height - FrameHeight() - 19;
    const auto& rows = drawnRows_.Rows();
    for (auto row = rows.rbegin(); row != rows.rend() && baseline > top; ++row) {
        DrawText(dc, kTextMargin, baseline, RowText(*row));
        baseline -= kRowPitch;
    }
}

void QuillonWnd::DrawProgressBar(HDC dc, int32_t top, int32_t width) {
    if (progressTotal_ <= 0) {
        return;
    }
    const int32_t filled = static_cast<int32_t>(int64_t{width} * progressReceived_ / progressTotal_);
    HBRUSH track = CreateSolidBrush(kProgressTrackColor);
    HBRUSH bar = CreateSolidBrush(kStatusTextColor);
    const RECT whole{0, top + kBarTop, width, top + kBarBottom};
    FillRect(dc, &whole, track);
    const RECT done{0, top + kBarTop, filled, top + kBarBottom};
    FillRect(dc, &done, bar);
    DeleteObject(track);
    DeleteObject(bar);
}

void QuillonWnd::ShowDownloadProgress(int32_t received, int32_t total) {
    progressTotal_ = total > 0 ? total : 0;
    progressReceived_ = progressTotal_ > 0 ? std::clamp(received, 0, progressTotal_) : 0;
    if (hwnd_ != nullptr) {
        InvalidateRect(hwnd_, nullptr, FALSE);
        UpdateWindow(hwnd_);
    }
}

void QuillonWnd::RepaintBuffered() {
    HWND hwnd = hwnd_;
    const WindowSize size = SizeOf(hwnd_);
    if (hwnd == nullptr) {
        return;
    }
    HDC windowDc = GetDC(hwnd);
    if (windowDc == nullptr) {
        return;
    }
    HDC memoryDc = CreateCompatibleDC(windowDc);
    HBITMAP bitmap = CreateCompatibleBitmap(windowDc, size.width, size.height);
    if (memoryDc != nullptr && bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memoryDc, bitmap);
        PaintWindow(memoryDc);
        BitBlt(windowDc, 0, 0, size.width, size.height, memoryDc, 0, 0, SRCCOPY);
        SelectObject(memoryDc, previous);
    }
    if (bitmap != nullptr) {
        DeleteObject(bitmap);
    }
    if (memoryDc != nullptr) {
        DeleteDC(memoryDc);
    }
    ReleaseDC(hwnd, windowDc);
}

void QuillonWnd::InvalidateInfoPanel() {
    const WindowSize size = SizeOf(hwnd_);
    const RECT strip{0, 0, size.width, FrameHeight() + kRowPitch * infoLabels_.Count() + 15};
    InvalidateRect(hwnd_, &strip, TRUE);
    UpdateWindow(hwnd_);
}

void QuillonWnd::OnConnectionChanged(bool connected) {
    AddStatusLine(BmString(connected ? u"Connected to gateway." : u"Disconnected from gateway."));
    RebuildInfoPanel();
    InvalidateInfoPanel();
    tray_.Update(launcher_.Connected());
}

LRESULT QuillonWnd::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            if (gLiveWindow != nullptr && gLiveWindow->hwnd_ == nullptr) {
                gLiveWindow->hwnd_ = hwnd;
            } else {
                BM_ASSERT_REPORT();
            }
            return 0;
        case WM_DESTROY:
            // The object stays with the assembly that made it; it only stops being shown.
            if (QuillonWnd* window = gLiveWindow) {
                window->AddStatusLine(BmString(kShuttingDownLine));
                window->Detach();
            }
            PostQuitMessage(0);
            return 0;
        case WM_PAINT:
            if (gLiveWindow == nullptr) {
                // Validates the window, so that no paint message is synthesised again.
                DefWindowProcW(hwnd, message, wParam, lParam);
                return 0;
            }
            {
                PAINTSTRUCT ps{};
                HDC dc = BeginPaint(hwnd, &ps);
                if (dc != nullptr) {
                    gLiveWindow->PaintWindow(dc);
                }
                EndPaint(hwnd, &ps);
            }
            return 0;
        case WM_CLOSE:
            ShowWindow(hwnd, SW_HIDE);
            return 0;
        case WM_COMMAND:
        case WM_LBUTTONDOWN:
        case WM_TRAYNOTIFY:
            if (gLiveWindow == nullptr) {
                return message == WM_TRAYNOTIFY ? 0 : DefWindowProcW(hwnd, message, wParam, lParam);
            }
            return HandleMenuMessage(gLiveWindow->launcher_, gLiveWindow->menuJustClosed, hwnd, message,
                                     wParam, lParam);
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}
