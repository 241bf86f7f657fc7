// The layer's process-wide state (one thread uses it): windows, classes, the message queue, the
// GDI objects, the tray and menu records. Internal to COMMON/BM_UI.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "COMMON/BM_UI/uibackend.h"
#include "COMMON/BM_UI/uicontrol.h"
#include "COMMON/BM_UI/winapi.h"

struct BmWindow {
    bool remote = false;     // a window of another process, found by FindWindowW
    std::string remotePath;  // its socket
    std::u16string className;
    std::u16string title;
    WNDPROC proc = nullptr;
    HBRUSH background = nullptr;
    uint32_t style = 0;
    RECT rect{};  // screen position and size
    bool visible = false;
    bool invalid = false;
    bool erase = false;
    cairo_surface_t* surface = nullptr;  // the backing image, rect's size
    int socketFd = -1;
    std::string socketPath;
    uintptr_t native = 0;  // the backend's window id
    uint64_t serial = 0;   // creation order
};

struct BmIcon {
    int32_t width = 0;
    int32_t height = 0;
    int32_t resourceId = 0;
    cairo_surface_t* surface = nullptr;  // ARGB32
};

struct BmMenu {
    struct Item {
        UINT flags = 0;
        uintptr_t id = 0;
        std::u16string text;
    };
    std::vector<Item> items;
};

struct BmCursor {
    UiCursorShape shape;
};

struct TrayIconState {
    bool present = false;
    HWND hwnd = nullptr;
    UINT id = 0;
    UINT flags = 0;
    UINT callbackMessage = 0;
    HICON icon = nullptr;
    int32_t iconResourceId = 0;
    cairo_surface_t* iconSurface = nullptr;  // own reference; the caller may destroy its icon
    bool docked = false;
    uintptr_t native = 0;
};

struct WindowClass {
    std::u16string name;
    WNDPROC proc = nullptr;
    HBRUSH background = nullptr;
    UINT style = 0;
};

struct MenuChoice {
    enum class Kind { Id, Text, Dismiss } kind = Kind::Dismiss;
    uintptr_t id = 0;
    std::string text;
};

class UiState {
public:
    static constexpr size_t kMaxQueuedMessages = 10000;

    ~UiState();

    std::unique_ptr<UiBackend> backend;
    std::vector<std::unique_ptr<BmWindow>> windows;            // live local windows, creation order
    std::map<std::string, std::unique_ptr<BmWindow>> remotes;  // by socket path
    std::vector<WindowClass> classes;
    std::deque<MSG> queue;
    bool quitRequested = false;
    int32_t quitCode = 0;
    uint64_t nextSerial = 1;

    std::set<BmCanvas*> canvases;
    std::set<BmGdiObject*> objects;
    std::set<BmMenu*> menus;
    std::set<BmIcon*> icons;

    TrayIconState tray;
    MenuRecord lastMenu;
    std::deque<MenuChoice> menuChoices;
    POINT cursor{};
    HCURSOR currentCursor = nullptr;
    uint32_t menuTimeoutMs = 0;

    // Releases everything (without calling any procedure); the backend stays.
    void Clear();
};

UiState& Ui();

// Lookups that validate a handle against the live set.
BmWindow* LocalWindow(HWND hwnd);  // a live window of this process
bool IsRemoteWindow(HWND hwnd);

// Appends to this process's queue; false when full.
bool PostLocalMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// A window's backing image, created or resized to its rectangle (content kept where it overlaps).
cairo_surface_t* WindowSurface(BmWindow& window);
// The backend changed the window's rectangle (X11 configure).
void SetWindowRectFromBackend(BmWindow& window, const RECT& rect);

// Cross-process sockets (crossprocess.cpp).
void OpenWindowSocket(BmWindow& window);
void CloseWindowSocket(BmWindow& window);
void PumpWindowSockets();
HWND FindRemoteWindow(const std::u16string& className, const std::u16string& title);
bool PostRemoteMessage(BmWindow& remote, UINT message, WPARAM wParam, LPARAM lParam);
// Handles one control request (text after the "QUI1 " prefix); false when malformed.
bool HandleControlRequest(BmWindow& window, const std::string& request);

// Menu layout shared by the X11 menu window and tests (menu.cpp).
struct MenuLayoutItem {
    RECT rect{};  // relative to the menu window
    bool selectable = false;
};
constexpr int32_t kMenuItemHeight = 28;
constexpr int32_t kMenuSeparatorHeight = 9;
constexpr int32_t kMenuPadding = 4;
constexpr int32_t kMenuCheckColumn = 22;
constexpr int32_t kMenuTextRight = 18;
constexpr int32_t kMenuMinWidth = 120;
std::vector<MenuLayoutItem> LayoutMenu(const BmMenu& menu, int32_t* width, int32_t* height);
// Top-left of a width x height menu asked for at (x, y) with flags, kept on the screen.
POINT PlaceMenu(int32_t x, int32_t y, UINT flags, int32_t width, int32_t height, const RECT& screen);
// Draws the menu with item `highlight` (-1: none) into a canvas of the menu's size.
void DrawMenu(HDC hdc, const BmMenu& menu, const std::vector<MenuLayoutItem>& layout, int32_t width,
              int32_t height, int32_t highlight);
// The canvas's drawing surface (nullptr for a memory context without bitmap).
cairo_surface_t* CanvasSurface(HDC hdc);
// The colour at (x, y) of an RGB24 image surface, or 0xFFFFFFFF outside it (or without one).
COLORREF SurfacePixel(cairo_surface_t* surface, int32_t x, int32_t y);
// The width in pixels of text in the stock font.
int32_t MeasureText(const std::u16string& text);

// Text helpers (uitext.cpp).
std::string Utf16ToUtf8(const char16_t* text, size_t count);
std::string Utf16ToUtf8(const std::u16string& text);
size_t Utf16Length(const char16_t* text);

// Lines on standard error that tests outside the process read ("MENU: ...", "TRAY: ...").
void UiReport(const std::string& line);

// Tests: forgets the backend too, so that the next call chooses and configures it afresh
// (QUILLON_UI, QUILLON_SCREEN, DISPLAY read again).
void DropBackendForTests();
