// The interface each window-system backend (headless, X11) implements. The common layer owns
// windows, queue, painting and menus; a backend only shows them and turns its events into
// posted messages (through PostLocalMessage).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "COMMON/BM_UI/winapi.h"

struct TrayIconState;
struct MenuLayoutItem;

enum class UiCursorShape { Arrow, Wait };

class UiBackend {
public:
    virtual ~UiBackend() = default;

    virtual const char* Name() const = 0;
    virtual RECT ScreenRect() = 0;  // (0, 0, width, height)
    virtual RECT WorkArea() = 0;

    // Native counterpart of a new top-level window; false when it cannot be made.
    virtual bool CreateNative(BmWindow& window) = 0;
    virtual void DestroyNative(BmWindow& window) = 0;
    virtual void SetVisible(BmWindow& window, bool visible) = 0;
    virtual void SetTitle(BmWindow& window) = 0;
    // Shows the window's backing image (after painting into it).
    virtual void Present(BmWindow& window) = 0;
    virtual void Raise(BmWindow& window) = 0;

    // Turns pending window-system events into posted messages. Never waits.
    virtual void Pump() = 0;

    // Runs a menu until a choice (its id) or none (0). The items are already laid out.
    virtual uintptr_t TrackMenu(HMENU menu, int32_t x, int32_t y, UINT flags, HWND owner) = 0;

    // The tray icon was added or changed (state.present) or removed (!state.present).
    virtual void TrayChanged(TrayIconState& state) = 0;
    // Screen rectangle of the docked tray icon, or an empty one.
    virtual RECT TrayIconRect(const TrayIconState& state) = 0;

    virtual void SetUiCursorShape(UiCursorShape shape) = 0;
    // False when the backend has no pointer of its own (headless: the common layer keeps it).
    virtual bool QueryCursorPos(POINT* point) = 0;
};

// The process's backend, chosen and created on first call.
UiBackend& Backend();

// Constructors of the two backends; the X11 one returns nullptr when no display can be opened.
std::unique_ptr<UiBackend> MakeHeadlessBackend();
std::unique_ptr<UiBackend> MakeX11Backend(std::string* whyNot);
