// Observation and remote control of the window-system layer, for tests and for driving a running
// program from outside (see COMMON/BM_UI/README.md for the wire form and the standard-error lines).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "COMMON/BM_UI/winapi.h"

// "x11" or "headless": the backend in use (chosen on first call into the layer).
std::string UiBackendName();

// ---- Injection (in-process) --------------------------------------------------------------------

// A tap at (x, y) in window coordinates: queues WM_LBUTTONDOWN then WM_LBUTTONUP for the window and
// moves the (headless) cursor there. FALSE for an unknown window.
BOOL InjectTap(HWND hwnd, int32_t x, int32_t y);

// Choices for the next headless menus, one per TrackPopupMenu, first in first out: an item by id,
// an item by its text (UTF-8), or no choice (the menu is dismissed). A choice that names no item
// of the menu dismisses it. Without a queued choice a headless menu is dismissed.
void InjectMenuChoiceId(uintptr_t id);
void InjectMenuChoiceText(const std::string& textUtf8);
void InjectMenuDismiss();
void ClearInjectedMenuChoices();

// Ends an X11 menu without a choice after `ms` milliseconds (0, the default: no limit), so that a
// test whose click went astray cannot hang.
void SetMenuTrackTimeout(uint32_t ms);

// ---- Observation -------------------------------------------------------------------------------

struct MenuItemInfo {
    uintptr_t id = 0;
    std::string text;  // UTF-8; empty for a separator
    bool checked = false;
    bool separator = false;
};

struct MenuRecord {
    bool tracked = false;  // false until a menu has been tracked
    std::vector<MenuItemInfo> items;
    int32_t x = 0;  // where the menu was asked for
    int32_t y = 0;
    uintptr_t chosenId = 0;  // 0: dismissed
};

// The menu most recently tracked (either backend).
MenuRecord LastTrackedMenu();

// "Cleanup Desktop | --- | [x] Monitor Mode | Exit": the form printed as "MENU: ..." on stderr.
std::string DescribeMenu(const std::vector<MenuItemInfo>& items);

struct TrayRecord {
    bool present = false;
    HWND hwnd = nullptr;
    UINT id = 0;
    UINT callbackMessage = 0;
    int32_t iconResourceId = 0;  // of the icon shown
    bool docked = false;         // X11: embedded in a tray manager
    RECT iconRect{};             // X11: screen rectangle of the docked icon, else empty
};

// The tray icon state (only one icon is used by the program; the most recently added one).
TrayRecord CurrentTray();

// Sends the tray icon's callback as a tap on it would (WM_LBUTTONDOWN then WM_LBUTTONUP as lParam).
BOOL InjectTrayTap();

// The window's last drawn pixel at (x, y) as RGB(...); 0xFFFFFFFF outside or unknown window.
COLORREF WindowPixel(HWND hwnd, int32_t x, int32_t y);

// Writes the window's drawn image as PNG. TRUE on success.
BOOL SaveWindowPng(HWND hwnd, const std::string& path);

// ---- Remote control (another process) ----------------------------------------------------------

// Sends one control request (e.g. "TAP 100 200", "MENU id 1130", "MENU text Exit", "MENU none",
// "TRAYTAP", "PNG /abs/path.png") to the window of class/title in another (or this) process.
// TRUE when the request was delivered to a live window's socket; it takes effect in that
// process's next PeekMessageW.
BOOL SendWindowControl(const char16_t* className, const char16_t* title, const std::string& request);

// ---- Test support ------------------------------------------------------------------------------

// Destroys every window (without WM_DESTROY), class, queued message, quit request, menu choice and
// the tray state, so that tests start from scratch. The backend stays.
void ResetUiForTests();
