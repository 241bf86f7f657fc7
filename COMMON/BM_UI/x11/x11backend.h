// The X11 backend: one Xlib connection; top-level windows are plain X windows showing their
// backing images; the close box arrives as WM_CLOSE; menus are override-redirect windows of our
// own; the tray icon is an XEmbed client of the freedesktop system tray, when there is one.
#pragma once

#include <X11/Xlib.h>

#include <map>
#include <memory>
#include <string>

#include "COMMON/BM_UI/uistate.h"

class X11Backend final : public UiBackend {
public:
    // Opens the display named by DISPLAY; nullptr (and the reason) when that fails.
    static std::unique_ptr<X11Backend> Open(std::string* whyNot);
    ~X11Backend() override;

    const char* Name() const override { return "x11"; }
    RECT ScreenRect() override;
    RECT WorkArea() override;
    bool CreateNative(BmWindow& window) override;
    void DestroyNative(BmWindow& window) override;
    void SetVisible(BmWindow& window, bool visible) override;
    void SetTitle(BmWindow& window) override;
    void Present(BmWindow& window) override;
    void Raise(BmWindow& window) override;
    void Pump() override;
    uintptr_t TrackMenu(HMENU menu, int32_t x, int32_t y, UINT flags, HWND owner) override;  // x11menu.cpp
    void TrayChanged(TrayIconState& state) override;                                         // x11tray.cpp
    RECT TrayIconRect(const TrayIconState& state) override;                                  // x11tray.cpp
    void SetUiCursorShape(UiCursorShape shape) override;
    bool QueryCursorPos(POINT* point) override;

private:
    explicit X11Backend(Display* display);

    // Turns one event into messages (or handles it for the tray icon).
    void HandleEvent(XEvent& event);
    BmWindow* WindowFor(Window xid);
    // Copies `source` (w x h) onto the X window.
    void PresentSurface(Window target, cairo_surface_t* source, int32_t width, int32_t height);

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
    Atom trayOpcode_;
    Atom traySelection_;
    Atom xembedInfo_;
    Atom manager_;
    Cursor arrow_ = 0;
    Cursor watch_ = 0;
    UiCursorShape shape_ = UiCursorShape::Arrow;
    std::map<Window, BmWindow*> windows_;
    Window trayWindow_ = 0;
};
