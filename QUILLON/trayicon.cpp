#include "QUILLON/trayicon.h"

#include <cstring>

#include "QUILLON/commandids.h"
#include "QUILLON/icons.h"

namespace {
constexpr UINT kTrayIconId = 1;
}  // namespace

NOTIFYICONDATAW TrayIcon::Record(bool connected) const {
    NOTIFYICONDATAW data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = NOTIFYICONDATAW_V1_SIZE;
    data.hWnd = window_;
    data.uID = kTrayIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON;
    data.uCallbackMessage = WM_TRAYNOTIFY;
    data.hIcon = connected ? connected_ : disconnected_;
    return data;
}

bool TrayIcon::LoadIcons() {
    connected_ = IconFromResource(IDI_CONNECTED);
    disconnected_ = IconFromResource(IDI_DISCONNECTED);
    return connected_ != nullptr && disconnected_ != nullptr;
}

void TrayIcon::DestroyIcons() {
    if (connected_ != nullptr) {
        DestroyIcon(connected_);
        connected_ = nullptr;
    }
    if (disconnected_ != nullptr) {
        DestroyIcon(disconnected_);
        disconnected_ = nullptr;
    }
}

bool TrayIcon::Add(HWND hwnd, bool connected) {
    window_ = hwnd;
    const NOTIFYICONDATAW data = Record(connected);
    return Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

bool TrayIcon::Update(bool connected) {
    const NOTIFYICONDATAW data = Record(connected);
    return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

bool TrayIcon::Remove() {
    const NOTIFYICONDATAW data = Record(false);
    const bool removed = Shell_NotifyIconW(NIM_DELETE, &data) != FALSE;
    window_ = nullptr;
    return removed;
}
