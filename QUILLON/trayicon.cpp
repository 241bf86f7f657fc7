#include "QUILLON/trayicon.h"

#include <cstring>

#include "QUILLON/commandids.h"
#include "QUILLON/icons.h"

namespace {
constexpr UINT kTrayIconId = 1;

HICON gConnectedIcon = nullptr;
HICON gDisconnectedIcon = nullptr;
HWND gTrayWindow = nullptr;

NOTIFYICONDATAW Record(bool connected) {
    NOTIFYICONDATAW data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = NOTIFYICONDATAW_V1_SIZE;
    data.hWnd = gTrayWindow;
    data.uID = kTrayIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON;
    data.uCallbackMessage = WM_TRAYNOTIFY;
    data.hIcon = connected ? gConnectedIcon : gDisconnectedIcon;
    return data;
}
}  // namespace

bool LoadTrayIcons() {
    gConnectedIcon = IconFromResource(IDI_CONNECTED);
    gDisconnectedIcon = IconFromResource(IDI_DISCONNECTED);
    return gConnectedIcon != nullptr && gDisconnectedIcon != nullptr;
}

void DestroyTrayIcons() {
    if (gConnectedIcon != nullptr) {
        DestroyIcon(gConnectedIcon);
        gConnectedIcon = nullptr;
    }
    if (gDisconnectedIcon != nullptr) {
        DestroyIcon(gDisconnectedIcon);
        gDisconnectedIcon = nullptr;
    }
}

bool AddTrayIcon(HWND hwnd, bool connected) {
    gTrayWindow = hwnd;
    const NOTIFYICONDATAW data = Record(connected);
    return Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

bool UpdateTrayIcon(bool connected) {
    const NOTIFYICONDATAW data = Record(connected);
    return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

bool RemoveTrayIcon() {
    const NOTIFYICONDATAW data = Record(false);
    const bool removed = Shell_NotifyIconW(NIM_DELETE, &data) != FALSE;
    gTrayWindow = nullptr;
    return removed;
}
