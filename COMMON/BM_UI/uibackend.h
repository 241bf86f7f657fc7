// The interface each window-system backend (headless, X11) implements. The common layer owns
// windows, queue, painting and menus and hands a backend only what it shows: native ids,
// rectangles, titles, images, a menu's items and the tray's icon. A backend reports its events
// through the window calls (winapi.h) and the two entry points at the end of this file; it never
// reaches into the layer's state.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "COMMON/BM_UI/uirecords.h"
#include "COMMON/BM_UI/winapi.h"

class UiBackend {
public:
    virtual ~UiBackend() = default;

    virtual const char* Name() const = 0;
    virtual RECT ScreenRect() = 0;  // (0, 0, width, height)
    virtual RECT WorkArea() = 0;

    // Native counterpart of the new top-level window `hwnd` (events are reported for it); false
    // when it cannot be made. *native receives the backend's id (0 where it has none).
    virtual bool CreateNative(HWND hwnd, const RECT& rect, const std::u16string& className,
                              const std::u16string& title, uintptr_t* native) = 0;
    virtual void DestroyNative(uintptr_t native) = 0;
    virtual void SetVisible(uintptr_t native, bool visible) = 0;
    virtual void SetTitle(uintptr_t native, const std::u16string& title) = 0;
    // Shows the window's backing image (after painting into it).
    virtual void Present(uintptr_t native, cairo_surface_t* image) = 0;
    // Raises the window; a visible one also gets the input focus.
    virtual void Raise(uintptr_t native, bool visible) = 0;
    // Asks the window manager to show the window full screen and above other windows (a kiosk
    // window: no caption, over any panel), from now on. Nothing where no window manager runs.
    virtual void SetFullScreen(uintptr_t native) { (void)native; }
    // Shows `text` under `caption` with an OK button in front of `owner` (a native id, or 0) and
    // blocks until a person dismisses it. Nothing where there is no screen.
    virtual void RunMessageBox(uintptr_t owner, const std::u16string& caption, const std::u16string& text) {
        (void)owner, (void)caption, (void)text;
    }

    // Turns pending window-system events into posted messages. Never waits.
    virtual void Pump() = 0;
    // For a caller about to wait: sends buffered requests and gives the descriptor that becomes
    // readable with new events (-1: none), or kEventsQueued when events were already read and
    // only Pump will see them. Never waits.
    static constexpr int kEventsQueued = -2;
    virtual int PrepareWait() { return -1; }

    // Runs a menu of `items` asked for at (x, y) until a choice (its id) or none (0); blocks until
    // then, or at most timeoutMs (0: no limit) where a person chooses.
    virtual uintptr_t TrackMenu(const std::vector<BmMenuItem>& items, int32_t x, int32_t y, UINT flags,
                                uint32_t timeoutMs) = 0;

    // The tray icon was added or changed (present, showing `icon`; the backend takes its own
    // reference) or removed (!present).
    virtual void TrayChanged(bool present, cairo_surface_t* icon) = 0;
    // Whether the tray icon is embedded in a tray manager.
    virtual bool TrayDocked() = 0;
    // Screen rectangle of the docked tray icon, or an empty one.
    virtual RECT TrayIconRect() = 0;

    virtual void SetUiCursorShape(UiCursorShape shape) = 0;
    // False when the backend has no pointer of its own (headless: the layer keeps a cursor).
    virtual bool QueryCursorPos(POINT* point) = 0;
};

// The process's backend, chosen and created on first call (uistate.cpp).
UiBackend& Backend();
// Makes `backend` the process's backend if none has been chosen yet (else drops it). The start-up
// check hands over the display it opened: closing it would leave a bare X server without
// clients, and such a server resets and refuses the next connection for a moment.
void AdoptBackend(std::unique_ptr<UiBackend> backend);

// Constructors of the two backends; the X11 one returns nullptr (and the reason) when no display
// can be opened or X11 support is not built in.
std::unique_ptr<UiBackend> MakeHeadlessBackend();
std::unique_ptr<UiBackend> MakeX11Backend(std::string* whyNot);

// ---- Calls a backend makes into the layer --------------------------------------------------

// The window manager moved or resized the window; a new size resizes the backing image and
// invalidates the window (window.cpp).
void MoveWindowFromBackend(HWND hwnd, const RECT& rect);
// A press (WM_LBUTTONDOWN) or release (WM_LBUTTONUP) on the tray icon: posts the icon's callback
// with that as lParam. False when there is no icon with a callback (tray.cpp).
bool PostTrayTap(UINT mouseMessage);
