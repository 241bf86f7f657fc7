// Window classes and top-level windows: creation (WM_CREATE sent synchronously), text, showing,
// invalidation and the backing image every window paints into.
#include <algorithm>

#include "COMMON/BM_UI/canvasinternal.h"
#include "COMMON/BM_UI/crossprocess.h"
#include "COMMON/BM_UI/uireport.h"
#include "COMMON/BM_UI/uistate.h"
#include "COMMON/BM_UI/uitext.h"

namespace {
constexpr int32_t kMaxWindowSide = 10000;

WindowClass* FindClass(const std::u16string& name) {
    for (auto& c : Ui().classes) {
        if (c.name == name) {
            return &c;
        }
    }
    return nullptr;
}

RECT WholeWindow(const BmWindow& w) {
    return RECT{0, 0, w.rect.right - w.rect.left, w.rect.bottom - w.rect.top};
}

std::u16string Text(const char16_t* s) {
    return s ? std::u16string(s, Utf16Length(s)) : std::u16string();
}

// Resolves CW_USEDEFAULT and out-of-range sizes against the work area.
RECT InitialRect(int32_t x, int32_t y, int32_t width, int32_t height) {
    const RECT work = Backend().WorkArea();
    if (x == CW_USEDEFAULT) {
        x = work.left;
        y = work.top;
    }
    if (width == CW_USEDEFAULT) {
        width = work.right - work.left;
        height = work.bottom - work.top;
    }
    width = std::clamp(width, 1, kMaxWindowSide);
    height = std::clamp(height, 1, kMaxWindowSide);
    x = std::clamp(x, -kMaxWindowSide, kMaxWindowSide);
    y = std::clamp(y, -kMaxWindowSide, kMaxWindowSide);
    return RECT{x, y, x + width, y + height};
}

void ReleaseWindow(BmWindow& w) {
    CloseWindowSocket(w);
    Backend().DestroyNative(w.native);
    w.native = 0;
    if (w.surface) {
        cairo_surface_destroy(w.surface);
        w.surface = nullptr;
    }
}

void RemoveWindow(BmWindow* w) {
    UiState& ui = Ui();
    std::erase_if(ui.queue, [w](const MSG& m) { return m.hwnd == w; });
    DropTrayOf(w);
    ReleaseWindow(*w);
    std::erase_if(ui.windows, [w](const std::unique_ptr<BmWindow>& p) { return p.get() == w; });
}

// A pop-up window over the whole work area is the program's kiosk window: it asks for the whole
// screen, so that a window manager draws no caption and no panel stays in front of it.
bool IsKioskWindow(uint32_t style, const RECT& rect) {
    const RECT work = Backend().WorkArea();
    return (style & WS_POPUP) != 0 && rect.left <= work.left && rect.top <= work.top &&
           rect.right >= work.right && rect.bottom >= work.bottom;
}

std::string Describe(const BmWindow& w) {
    return "\"" + Utf16ToUtf8(w.title) + "\"";
}
}  // namespace

ATOM RegisterClassW(const WNDCLASSW* wc) {
    if (!wc || !wc->lpfnWndProc || !wc->lpszClassName || !wc->lpszClassName[0]) {
        return 0;
    }
    std::u16string name = Text(wc->lpszClassName);
    if (FindClass(name)) {
        return 0;
    }
    Ui().classes.push_back(WindowClass{name, wc->lpfnWndProc, wc->hbrBackground, wc->style});
    return static_cast<ATOM>(0xC000 + (Ui().classes.size() & 0x3FFF));
}

HWND CreateWindowExW(DWORD exStyle, const char16_t* className, const char16_t* title, uint32_t style,
                     int32_t x, int32_t y, int32_t width, int32_t height, HWND parent, HMENU menu,
                     HINSTANCE instance, void* param) {
    WindowClass* cls = className ? FindClass(Text(className)) : nullptr;
    if (!cls) {
        return nullptr;
    }
    UiState& ui = Ui();
    auto owned = std::make_unique<BmWindow>();
    BmWindow* w = owned.get();
    w->className = cls->name;
    w->title = Text(title);
    w->proc = cls->proc;
    w->background = cls->background;
    w->style = style;
    w->rect = InitialRect(x, y, width, height);
    w->serial = ui.nextSerial++;
    if (!WindowSurface(*w) || !Backend().CreateNative(w, w->rect, w->className, w->title, &w->native)) {
        if (w->surface) {
            cairo_surface_destroy(w->surface);
        }
        return nullptr;
    }
    ui.windows.push_back(std::move(owned));
    OpenWindowSocket(*w);
    if (IsKioskWindow(style, w->rect)) {
        Backend().SetFullScreen(w->native);
    }

    CREATESTRUCTW cs{param,
                     instance,
                     menu,
                     parent,
                     w->rect.bottom - w->rect.top,
                     w->rect.right - w->rect.left,
                     w->rect.top,
                     w->rect.left,
                     style,
                     title,
                     className,
                     exStyle};
    if (w->proc(w, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyCanvasesOf(w);
        RemoveWindow(w);
        return nullptr;
    }
    if (LocalWindow(w) && (style & WS_VISIBLE)) {
        ShowWindow(w, SW_SHOW);
    }
    return LocalWindow(w);
}

BOOL DestroyWindow(HWND hwnd) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w) {
        return FALSE;
    }
    if (w->visible) {
        Backend().SetVisible(w->native, false);
        w->visible = false;
    }
    w->proc(w, WM_DESTROY, 0, 0);
    if (LocalWindow(w)) {  // the procedure may have destroyed it already
        DestroyCanvasesOf(w);
        RemoveWindow(w);
    }
    return TRUE;
}

BOOL IsWindow(HWND hwnd) {
    return LocalWindow(hwnd) || IsRemoteWindow(hwnd) ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hwnd) {
    BmWindow* w = LocalWindow(hwnd);
    return w && w->visible ? TRUE : FALSE;
}

LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps{};
            if (BeginPaint(hwnd, &ps)) {
                EndPaint(hwnd, &ps);
            }
            return 0;
        }
        case WM_ERASEBKGND: {
            BmWindow* w = LocalWindow(hwnd);
            if (!w || !w->background) {
                return 0;
            }
            RECT all = WholeWindow(*w);
            FillRect(reinterpret_cast<HDC>(wParam), &all, w->background);
            return 1;
        }
        default:
            return 0;
    }
}

BOOL SetWindowTextW(HWND hwnd, const char16_t* text) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w) {
        return FALSE;
    }
    w->title = Text(text);
    Backend().SetTitle(w->native, w->title);
    return TRUE;
}

int32_t GetWindowTextW(HWND hwnd, char16_t* buffer, int32_t maxCount) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w || !buffer || maxCount <= 0) {
        return 0;
    }
    const size_t n = std::min(w->title.size(), static_cast<size_t>(maxCount - 1));
    std::copy_n(w->title.data(), n, buffer);
    buffer[n] = 0;
    return static_cast<int32_t>(n);
}

BOOL ShowWindow(HWND hwnd, int32_t command) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w) {
        return FALSE;
    }
    const bool wasVisible = w->visible;
    const bool show = command != SW_HIDE && command != SW_MINIMIZE;
    if (show != wasVisible) {
        w->visible = show;
        Backend().SetVisible(w->native, show);
        UiReport(std::string("WINDOW: ") + (show ? "show " : "hide ") + Describe(*w));
        if (show) {
            InvalidateRect(w, nullptr, TRUE);
        }
    }
    return wasVisible ? TRUE : FALSE;
}

BOOL UpdateWindow(HWND hwnd) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w) {
        return FALSE;
    }
    if (w->invalid && w->visible) {
        w->proc(w, WM_PAINT, 0, 0);
    }
    return TRUE;
}

BOOL InvalidateRect(HWND hwnd, const RECT*, BOOL erase) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w) {
        return FALSE;
    }
    // The whole window is repainted whatever the rectangle: the launcher's painting is cheap and
    // always draws everything.
    w->invalid = true;
    w->erase = w->erase || erase;
    return TRUE;
}

BOOL ValidateRect(HWND hwnd, const RECT*) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w) {
        return FALSE;
    }
    w->invalid = false;
    w->erase = false;
    return TRUE;
}

BOOL GetWindowRect(HWND hwnd, RECT* rect) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w || !rect) {
        return FALSE;
    }
    *rect = w->rect;
    return TRUE;
}

BOOL GetClientRect(HWND hwnd, RECT* rect) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w || !rect) {
        return FALSE;
    }
    *rect = WholeWindow(*w);
    return TRUE;
}

HWND FindWindowW(const char16_t* className, const char16_t* title) {
    Backend();
    const std::u16string cls = Text(className);
    const std::u16string ttl = Text(title);
    for (auto& w : Ui().windows) {
        if ((!className || w->className == cls) && (!title || w->title == ttl)) {
            return w.get();
        }
    }
    if (!className || !title) {
        return nullptr;  // other processes' windows are found by their exact class and title
    }
    return FindRemoteWindow(cls, ttl);
}

BOOL SetForegroundWindow(HWND hwnd) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w) {
        return FALSE;
    }
    Backend().Raise(w->native, w->visible);
    return TRUE;
}

cairo_surface_t* WindowSurface(BmWindow& w) {
    const int32_t width = w.rect.right - w.rect.left;
    const int32_t height = w.rect.bottom - w.rect.top;
    if (w.surface && cairo_image_surface_get_width(w.surface) == width &&
        cairo_image_surface_get_height(w.surface) == height) {
        return w.surface;
    }
    cairo_surface_t* s = CreatePixelSurface(width, height);
    if (!s) {
        return nullptr;
    }
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    if (w.surface) {
        cairo_set_source_surface(cr, w.surface, 0, 0);
        cairo_paint(cr);
        cairo_surface_destroy(w.surface);
    }
    cairo_destroy(cr);
    w.surface = s;
    return s;
}

void MoveWindowFromBackend(HWND hwnd, const RECT& rect) {
    BmWindow* window = LocalWindow(hwnd);
    if (!window) {
        return;
    }
    BmWindow& w = *window;
    const bool resized = rect.right - rect.left != w.rect.right - w.rect.left ||
                         rect.bottom - rect.top != w.rect.bottom - w.rect.top;
    if (rect.right <= rect.left || rect.bottom <= rect.top) {
        return;
    }
    w.rect = rect;
    if (resized) {
        WindowSurface(w);
        InvalidateRect(&w, nullptr, TRUE);
    }
}
