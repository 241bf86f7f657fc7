// TrayIcon: the notification-area icon, connected (101) or disconnected (102) picture, tapped to
// show the main window. One per process, owned by the main window.
#pragma once

#include "COMMON/BM_UI/winapi.h"

class TrayIcon {
public:
    TrayIcon() = default;
    // Destroys the pictures (the icon itself is removed by Remove).
    ~TrayIcon() { DestroyIcons(); }
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Loads both pictures (16 x 16). Returns false when one is missing (the tray then stays empty).
    bool LoadIcons();
    // Destroys the connected picture, then the disconnected one.
    void DestroyIcons();

    // Adds the icon for `hwnd` with the picture for `connected`.
    bool Add(HWND hwnd, bool connected);
    // Changes the picture to the one for `connected`.
    bool Update(bool connected);
    // Removes the icon.
    bool Remove();

private:
    NOTIFYICONDATAW Record(bool connected) const;

    HICON connected_ = nullptr;
    HICON disconnected_ = nullptr;
    HWND window_ = nullptr;
};
