// The notification-area icon: connected (101) or disconnected (102) picture, tapped to show the
// main window. One icon per process.
#pragma once

#include "COMMON/BM_UI/winapi.h"

// Loads both icons (16 x 16). Returns false when one is missing (the tray then stays empty).
bool LoadTrayIcons();
// Destroys the connected icon, then the disconnected one.
void DestroyTrayIcons();

// Adds the icon for `hwnd` with the picture for `connected`.
bool AddTrayIcon(HWND hwnd, bool connected);
// Changes the picture to the one for `connected`.
bool UpdateTrayIcon(bool connected);
// Removes the icon.
bool RemoveTrayIcon();
