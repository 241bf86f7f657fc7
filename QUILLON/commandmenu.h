// The user's controls: taps on the window open the command menu, menu choices and the second
// instance's "Startup Defaults" arrive as commands, and a tap on the tray icon shows the window.
#pragma once

#include "COMMON/BM_UI/winapi.h"

// Handles WM_COMMAND, WM_LBUTTONDOWN and WM_TRAYNOTIFY for the main window procedure and returns
// its result. A tap blocks while the menu's facts are gathered (a gateway round trip) and while
// the menu is open.
LRESULT HandleMenuMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Carries out command `id` (1125..1134; others are ignored).
void RunCommand(WPARAM id);
