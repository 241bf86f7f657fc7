// The window-system layer: the subset of the Win32 user-interface, graphics and shell calls the
// launcher uses, with their Win32 names, message ids and parameter meanings, so that window
// procedures, painting code and the PeekMessage loop read as they do on Win32.
//
// One thread per process uses this layer (no locks). The backend (X11 or headless) is chosen on
// first use: QUILLON_UI=x11|headless, else X11 when DISPLAY is set, else headless.
#pragma once

#include <cstdint>

// ---- Basic types -------------------------------------------------------------------------------

struct BmWindow;
struct BmCanvas;
struct BmMenu;
struct BmIcon;
struct BmGdiObject;
struct BmCursor;

using HWND = BmWindow*;
using HDC = BmCanvas*;
using HMENU = BmMenu*;
using HICON = BmIcon*;
using HGDIOBJ = BmGdiObject*;
using HBRUSH = BmGdiObject*;
using HPEN = BmGdiObject*;
using HFONT = BmGdiObject*;
using HBITMAP = BmGdiObject*;
using HCURSOR = BmCursor*;
using HINSTANCE = void*;

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using UINT = uint32_t;
using DWORD = uint32_t;
using BOOL = int32_t;
using ATOM = uint16_t;
using COLORREF = uint32_t;  // 0x00BBGGRR as in Win32

using WNDPROC = LRESULT (*)(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

struct POINT {
    int32_t x;
    int32_t y;
};

struct RECT {
    int32_t left;
    int32_t top;
    int32_t right;   // exclusive
    int32_t bottom;  // exclusive
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

struct WNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int32_t cbClsExtra;
    int32_t cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    const char16_t* lpszMenuName;
    const char16_t* lpszClassName;
};

struct CREATESTRUCTW {
    void* lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int32_t cy;
    int32_t cx;
    int32_t y;
    int32_t x;
    uint32_t style;
    const char16_t* lpszName;
    const char16_t* lpszClass;
    DWORD dwExStyle;
};

struct PAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
};

// The first (152-byte) version of the notify-icon record; only the fields used are interpreted.
struct NOTIFYICONDATAW {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    char16_t szTip[64];
};
constexpr DWORD NOTIFYICONDATAW_V1_SIZE = 152;

inline constexpr COLORREF RGB(uint8_t r, uint8_t g, uint8_t b) {
    return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) | (static_cast<COLORREF>(b) << 16);
}
inline constexpr uint8_t GetRValue(COLORREF c) {
    return static_cast<uint8_t>(c & 0xFF);
}
inline constexpr uint8_t GetGValue(COLORREF c) {
    return static_cast<uint8_t>((c >> 8) & 0xFF);
}
inline constexpr uint8_t GetBValue(COLORREF c) {
    return static_cast<uint8_t>((c >> 16) & 0xFF);
}

inline constexpr uint16_t LOWORD(uintptr_t v) {
    return static_cast<uint16_t>(v & 0xFFFF);
}
inline constexpr uint16_t HIWORD(uintptr_t v) {
    return static_cast<uint16_t>((v >> 16) & 0xFFFF);
}
inline constexpr LPARAM MAKELPARAM(int32_t lo, int32_t hi) {
    return static_cast<LPARAM>((static_cast<uint32_t>(lo) & 0xFFFF) |
                               ((static_cast<uint32_t>(hi) & 0xFFFF) << 16));
}
// Signed coordinates packed in a mouse message's lParam.
inline constexpr int32_t GET_X_LPARAM(LPARAM lp) {
    return static_cast<int16_t>(LOWORD(static_cast<uintptr_t>(lp)));
}
inline constexpr int32_t GET_Y_LPARAM(LPARAM lp) {
    return static_cast<int16_t>(HIWORD(static_cast<uintptr_t>(lp)));
}

#define MAKEINTRESOURCEW(id) (reinterpret_cast<const char16_t*>(static_cast<uintptr_t>(id)))

// ---- Message ids (Win32 values) ----------------------------------------------------------------

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_MOVE = 0x0003;
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_ERASEBKGND = 0x0014;
constexpr UINT WM_SHOWWINDOW = 0x0018;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_CHAR = 0x0102;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

constexpr WPARAM MK_LBUTTON = 0x0001;

// PeekMessage
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

// ---- Window classes and windows ----------------------------------------------------------------

constexpr UINT CS_VREDRAW = 0x0001;
constexpr UINT CS_HREDRAW = 0x0002;

constexpr uint32_t WS_OVERLAPPED = 0x00000000;
constexpr uint32_t WS_POPUP = 0x80000000;
constexpr uint32_t WS_VISIBLE = 0x10000000;
constexpr uint32_t WS_CAPTION = 0x00C00000;
constexpr uint32_t WS_SYSMENU = 0x00080000;
constexpr int32_t CW_USEDEFAULT = static_cast<int32_t>(0x80000000);

// ShowWindow commands
constexpr int32_t SW_HIDE = 0;
constexpr int32_t SW_SHOWNORMAL = 1;
constexpr int32_t SW_NORMAL = 1;
constexpr int32_t SW_SHOWNOACTIVATE = 4;
constexpr int32_t SW_SHOW = 5;
constexpr int32_t SW_MINIMIZE = 6;
constexpr int32_t SW_SHOWNA = 8;
constexpr int32_t SW_RESTORE = 9;

// GetSystemMetrics
constexpr int32_t SM_CXSCREEN = 0;
constexpr int32_t SM_CYSCREEN = 1;
constexpr int32_t SM_CYCAPTION = 4;
constexpr int32_t SM_CXDLGFRAME = 7;
constexpr int32_t SM_CYDLGFRAME = 8;
constexpr int32_t SM_CYMENU = 15;

// SystemParametersInfoW
constexpr UINT SPI_GETWORKAREA = 0x0030;

// MessageBoxW
constexpr UINT MB_OK = 0x00000000;
constexpr int32_t IDOK = 1;

// Cursors
#define IDC_ARROW MAKEINTRESOURCEW(32512)
#define IDC_WAIT MAKEINTRESOURCEW(32514)

// Registers a window class; a second class of the same name fails. Returns a non-zero atom on
// success, 0 on failure (no procedure, no name, duplicate).
ATOM RegisterClassW(const WNDCLASSW* wc);

// Creates a top-level window of a registered class. WM_CREATE is sent to the class's procedure
// before this returns (lParam: the CREATESTRUCTW); a result of -1 there fails the creation.
// With WS_VISIBLE the window is shown. The window also listens for messages posted by other
// processes (see FindWindowW). Returns the window, or nullptr on failure.
HWND CreateWindowExW(DWORD exStyle, const char16_t* className, const char16_t* title, uint32_t style,
                     int32_t x, int32_t y, int32_t width, int32_t height, HWND parent, HMENU menu,
                     HINSTANCE instance, void* param);

// Sends WM_DESTROY to the procedure, removes the window (its queued messages and its
// cross-process socket go with it). Returns FALSE for an unknown handle.
BOOL DestroyWindow(HWND hwnd);

// True when hwnd is a live window of this process or a window found in another process.
BOOL IsWindow(HWND hwnd);
BOOL IsWindowVisible(HWND hwnd);

// The default handling: WM_CLOSE destroys the window, WM_PAINT validates it; everything else 0.
LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Calls the window's procedure at once (same process only); 0 for an unknown window.
LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

BOOL SetWindowTextW(HWND hwnd, const char16_t* text);
// Copies at most maxCount-1 characters and a terminator; returns the characters copied.
int32_t GetWindowTextW(HWND hwnd, char16_t* buffer, int32_t maxCount);

// Shows or hides; returns TRUE when the window was visible before. Showing invalidates it.
BOOL ShowWindow(HWND hwnd, int32_t command);

// Sends WM_PAINT to the procedure at once when the window is invalid and visible.
BOOL UpdateWindow(HWND hwnd);

// Adds rect (nullptr: the whole window) to the window's invalid area; WM_PAINT follows when the
// queue is otherwise empty.
BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);
BOOL ValidateRect(HWND hwnd, const RECT* rect);

// Screen position and size. The window manager draws any caption, so this is the client area.
BOOL GetWindowRect(HWND hwnd, RECT* rect);
BOOL GetClientRect(HWND hwnd, RECT* rect);

// Finds a top-level window by class and title (either may be nullptr: any): first among this
// process's windows, then among other processes' windows through their sockets in the runtime
// folder. A socket left behind by a dead process is not a window. Returns the
// window or nullptr. The handle of another process's window is only good for PostMessageW.
HWND FindWindowW(const char16_t* className, const char16_t* title);

BOOL SetForegroundWindow(HWND hwnd);

// ---- Message queue -----------------------------------------------------------------------------

// Appends a message to the queue of the window's process (another process: through its socket).
// hwnd nullptr posts a thread message. FALSE when the window is unknown or the queue is full.
BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Marks the queue to return WM_QUIT (wParam = exitCode) once the posted messages are taken.
void PostQuitMessage(int32_t exitCode);

// Never waits. First pumps the backend (window-system events, other processes' datagrams),
// then takes, in Win32's order: a posted message; WM_QUIT when asked for; WM_PAINT for an
// invalid visible window. hwnd/min/max filter as in Win32 (nullptr, 0, 0: anything).
// Returns TRUE with *msg filled when a message was found.
BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags);

BOOL TranslateMessage(const MSG* msg);  // nothing to translate here; returns FALSE

// Calls the procedure of msg->hwnd; 0 when there is no (live, local) window.
LRESULT DispatchMessageW(const MSG* msg);

// ---- Painting ----------------------------------------------------------------------------------

// Stock objects
constexpr int32_t WHITE_BRUSH = 0;
constexpr int32_t LTGRAY_BRUSH = 1;
constexpr int32_t GRAY_BRUSH = 2;
constexpr int32_t DKGRAY_BRUSH = 3;
constexpr int32_t BLACK_BRUSH = 4;
constexpr int32_t NULL_BRUSH = 5;
constexpr int32_t WHITE_PEN = 6;
constexpr int32_t BLACK_PEN = 7;
constexpr int32_t NULL_PEN = 8;
constexpr int32_t SYSTEM_FONT = 13;

// Background modes
constexpr int32_t TRANSPARENT = 1;
constexpr int32_t OPAQUE = 2;

// Raster operation
constexpr DWORD SRCCOPY = 0x00CC0020;

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* ps);       // validates the window; nullptr for an unknown one
BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* ps);  // shows what was drawn
HDC GetDC(HWND hwnd);
int32_t ReleaseDC(HWND hwnd, HDC hdc);  // shows what was drawn; 1 on success

// A memory context; it draws nowhere until a bitmap is selected into it.
HDC CreateCompatibleDC(HDC hdc);
BOOL DeleteDC(HDC hdc);
// A width x height bitmap (black), 1..10000 per side; nullptr otherwise.
HBITMAP CreateCompatibleBitmap(HDC hdc, int32_t width, int32_t height);
// Brushes, pens, fonts, bitmaps. Stock objects are never deleted (TRUE, no effect).
BOOL DeleteObject(HGDIOBJ object);
HGDIOBJ GetStockObject(int32_t which);
HBRUSH CreateSolidBrush(COLORREF color);
// Selects a brush, pen, font or bitmap into the context; returns the previous one of that kind.
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object);

int32_t FillRect(HDC hdc, const RECT* rect, HBRUSH brush);
COLORREF SetTextColor(HDC hdc, COLORREF color);  // returns the previous colour
COLORREF SetBkColor(HDC hdc, COLORREF color);
int32_t SetBkMode(HDC hdc, int32_t mode);  // returns the previous mode
// Draws one line of text with its top-left at (x, y) in the selected font and text colour; options
// and the rectangle are accepted and ignored, dx must be nullptr. count is in UTF-16 units.
BOOL ExtTextOutW(HDC hdc, int32_t x, int32_t y, UINT options, const RECT* rect, const char16_t* text,
                 UINT count, const int32_t* dx);
BOOL MoveToEx(HDC hdc, int32_t x, int32_t y, POINT* previous);
// Draws with the selected pen from the current position to (x, y), that end point excluded.
BOOL LineTo(HDC hdc, int32_t x, int32_t y);
BOOL BitBlt(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC source, int32_t sourceX,
            int32_t sourceY, DWORD rop);
// The colour at (x, y), or 0xFFFFFFFF outside the surface.
COLORREF GetPixel(HDC hdc, int32_t x, int32_t y);

// ---- Metrics, cursor, message box --------------------------------------------------------------

int32_t GetSystemMetrics(int32_t index);
BOOL SystemParametersInfoW(UINT action, UINT uiParam, void* pvParam, UINT winIni);
HCURSOR LoadCursorW(HINSTANCE instance, const char16_t* name);
HCURSOR SetCursor(HCURSOR cursor);  // returns the previous cursor (nullptr at first)
BOOL GetCursorPos(POINT* point);
// Shows text and caption and waits for OK (both backends: one line on standard error). IDOK.
int32_t MessageBoxW(HWND owner, const char16_t* text, const char16_t* caption, UINT type);

// ---- Pop-up menu -------------------------------------------------------------------------------

constexpr UINT MF_STRING = 0x0000;
constexpr UINT MF_UNCHECKED = 0x0000;
constexpr UINT MF_ENABLED = 0x0000;
constexpr UINT MF_GRAYED = 0x0001;
constexpr UINT MF_DISABLED = 0x0002;
constexpr UINT MF_CHECKED = 0x0008;
constexpr UINT MF_SEPARATOR = 0x0800;

constexpr UINT TPM_LEFTBUTTON = 0x0000;
constexpr UINT TPM_LEFTALIGN = 0x0000;
constexpr UINT TPM_CENTERALIGN = 0x0004;
constexpr UINT TPM_RIGHTALIGN = 0x0008;
constexpr UINT TPM_RETURNCMD = 0x0100;

HMENU CreatePopupMenu();
// Appends a text item (id, text) or a separator (flags MF_SEPARATOR; text ignored).
BOOL AppendMenuW(HMENU menu, UINT flags, uintptr_t id, const char16_t* text);
BOOL DestroyMenu(HMENU menu);
int32_t GetMenuItemCount(HMENU menu);
// Shows the menu at (x, y) (TPM_RIGHTALIGN: its right edge at x) and runs until an item is
// chosen or the menu is dismissed (a click outside, Escape). A choice is posted to owner as
// WM_COMMAND with the item's id (TPM_RETURNCMD: returned instead). Returns TRUE (or the id) for a
// choice, 0 for none.
BOOL TrackPopupMenu(HMENU menu, UINT flags, int32_t x, int32_t y, int32_t reserved, HWND owner,
                    const RECT* rect);

// ---- Tray icon and icons -----------------------------------------------------------------------

constexpr DWORD NIM_ADD = 0x00000000;
constexpr DWORD NIM_MODIFY = 0x00000001;
constexpr DWORD NIM_DELETE = 0x00000002;
constexpr UINT NIF_MESSAGE = 0x00000001;
constexpr UINT NIF_ICON = 0x00000002;
constexpr UINT NIF_TIP = 0x00000004;

// Adds, changes or removes the icon (window, id) in the notification area. A tap on it sends the
// callback message to the window with wParam = the icon id and lParam = the mouse message.
// Returns FALSE for a bad record, an ADD of an existing icon, or MODIFY/DELETE of a missing one.
BOOL Shell_NotifyIconW(DWORD action, const NOTIFYICONDATAW* data);

// Builds an icon from ARGB pixels (0xAARRGGBB, row by row); `resourceId` names it in reports.
// Returns nullptr for sizes outside 1..256.
HICON CreateIconFromPixels(int32_t width, int32_t height, const uint32_t* argb, int32_t resourceId);
BOOL DestroyIcon(HICON icon);
// The id given at creation (0 for nullptr).
int32_t IconResourceId(HICON icon);

// ---- Short names -------------------------------------------------------------------------------

inline BOOL PostMessage(HWND h, UINT m, WPARAM w, LPARAM l) {
    return PostMessageW(h, m, w, l);
}
inline BOOL PeekMessage(MSG* msg, HWND h, UINT lo, UINT hi, UINT flags) {
    return PeekMessageW(msg, h, lo, hi, flags);
}
inline LRESULT DispatchMessage(const MSG* msg) {
    return DispatchMessageW(msg);
}
inline LRESULT DefWindowProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    return DefWindowProcW(h, m, w, l);
}
inline HWND FindWindow(const char16_t* c, const char16_t* t) {
    return FindWindowW(c, t);
}
