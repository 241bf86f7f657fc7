// The X11 backend: one Xlib connection; top-level windows are plain X windows showing their
// backing images; the close box arrives as WM_CLOSE; menus are override-redirect windows of our
// own; the tray icon is an XEmbed client of the freedesktop system tray, when there is one.
#pragma once

#include <X11/Xlib.h>
#include <cairo.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "COMMON/BM_UI/uibackend.h"

class X11Backend final : public UiBackend {
public:
    // Opens the display named by DISPLAY; nullptr (and the reason) when that fails.
    static std::unique_ptr<X11Backend> Open(std::string* whyNot);
    ~X11Backend() override;

    const char* Name() const override { return "x11"; }
    RECT ScreenRect() override;
    RECT WorkArea() override;
    bool CreateNative(HWND hwnd, const RECT& rect, const std::u16string& className,
                      const std::u16string& title, uintptr_t* native) override;
    void DestroyNative(uintptr_t native) override;
    void SetVisible(uintptr_t native, bool visible) override;
    void SetTitle(uintptr_t native, const std::u16string& title) override;
    void Present(uintptr_t native, cairo_surface_t* image) override;
    void Raise(uintptr_t native, bool visible) override;
    void SetFullScreen(uintptr_t native) override;
    void RunMessageBox(uintptr_t owner, const std::u16string& caption,
                       const std::u16string& text) override;  // x11msgbox.cpp
    void Pump() override;
    int PrepareWait() override;
    uintptr_t TrackMenu(const std::vector<BmMenuItem>& items, int32_t x, int32_t y, UINT flags,
                        uint32_t timeoutMs) override;                // x11menu.cpp
    void TrayChanged(bool present, cairo_surface_t* icon) override;  // x11tray.cpp
    bool TrayDocked() override { return trayDocked_; }
    RECT TrayIconRect() override;  // x11tray.cpp
    void SetUiCursorShape(UiCursorShape shape) override;
    bool QueryCursorPos(POINT* point) override;

private:
    explicit X11Backend(Display* display);

    // Turns one event into messages (or handles it for the tray icon).
    void HandleEvent(XEvent& event);
    // One of our top-level windows: its layer handle and the image last shown in it (own
    // reference), drawn again when it is uncovered while a menu runs.
    struct Shown {
        HWND hwnd = nullptr;
        cairo_surface_t* image = nullptr;
        bool mapped = false;
        bool fullScreen = false;  // asks for _NET_WM_STATE_FULLSCREEN and _ABOVE
    };
    Shown* WindowFor(Window xid);
    // Copies `source` (w x h) onto the X window.
    void PresentSurface(Window target, cairo_surface_t* source, int32_t width, int32_t height);
    // Draws an uncovered window of ours from its backing image while a modal loop (menu, message
    // box) runs, then handles the event as usual.
    void HandleEventInModalLoop(XEvent& event);
    // Writes _NET_WM_STATE with `states` (before mapping: a window manager reads it then).
    void WriteWmState(Window xid, const std::vector<Atom>& states);
    // Gives the title to WM_NAME (Latin-1) and _NET_WM_NAME (UTF-8).
    void WriteTitle(Window xid, const std::u16string& title);

    // Tray icon (x11tray.cpp).
    void RequestDock();
    void DrawTray();
    bool HandleTrayEvent(XEvent& event);

    Display* display_;
    int screen_;
    Window root_;
    Visual* visual_;
    Atom wmProtocols_;
    Atom wmDelete_;
    Atom netWmName_;
    Atom utf8String_;
    Atom netWorkarea_;
    Atom netCurrentDesktop_;
    Atom netWmState_;
    Atom netWmStateFullScreen_;
    Atom netWmStateAbove_;
    Atom netWmWindowType_;
    Atom netWmWindowTypeDialog_;
    Atom trayOpcode_;
    Atom traySelection_;
    Atom xembedInfo_;
    Atom manager_;
    Cursor arrow_ = 0;
    Cursor watch_ = 0;
    UiCursorShape shape_ = UiCursorShape::Arrow;
    std::map<Window, Shown> windows_;
    Window trayWindow_ = 0;
    bool trayDocked_ = false;
    cairo_surface_t* trayIcon_ = nullptr;  // own reference
};
