// The records behind the layer's handles (HWND, HICON, HMENU, HCURSOR) and the class and tray
// records. Plain data: the state that owns them is in uistate.h. Internal to COMMON/BM_UI.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <string>
#include <vector>

#include "COMMON/BM_UI/winapi.h"

enum class UiCursorShape { Arrow, Wait };

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

struct BmMenuItem {
    UINT flags = 0;
    uintptr_t id = 0;
    std::u16string text;

    // Separators, grayed and disabled items cannot be chosen.
    bool Selectable() const { return !(flags & (MF_SEPARATOR | MF_GRAYED | MF_DISABLED)); }
};

struct BmMenu {
    using Item = BmMenuItem;
    std::vector<BmMenuItem> items;
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
};

struct WindowClass {
    std::u16string name;
    WNDPROC proc = nullptr;
    HBRUSH background = nullptr;
    UINT style = 0;
};
