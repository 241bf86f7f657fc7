// The user's controls: taps on the window open the command menu, menu choices and the second
// instance's "Startup Defaults" arrive as commands for the launcher core, and a tap on the tray
// icon shows the window.
#pragma once

#include <cstdint>

#include "COMMON/BM_UI/winapi.h"

class Launcher;

// Handles WM_COMMAND, WM_LBUTTONDOWN and WM_TRAYNOTIFY for the main window `hwnd` and returns
// its result; `menuJustClosed` is the window's flag that a tap closed the menu. A tap blocks
// while the menu's facts are gathered (a gateway round trip) and while the menu is open.
LRESULT HandleMenuMessage(Launcher& launcher, int32_t& menuJustClosed, HWND hwnd, UINT message, WPARAM wParam,
                          LPARAM lParam);
