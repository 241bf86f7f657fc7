#include "QUILLON/commandmenu.h"

#include <vector>

#include "QUILLON/commandids.h"
#include "QUILLON/launcher.h"
#include "QUILLON/menumodel.h"

namespace {
void ShowCommandMenu(Launcher& launcher, int32_t& menuJustClosed, HWND owner) {
    const std::vector<MenuEntry> entries = CommandMenuEntries(launcher.MenuFacts());
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) {
        return;
    }
    for (const MenuEntry& entry : entries) {
        if (entry.IsSeparator()) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        } else {
            AppendMenuW(menu, MF_STRING | (entry.checked ? MF_CHECKED : MF_UNCHECKED), entry.id, entry.text);
        }
    }
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(owner);
    TrackPopupMenu(menu, TPM_RIGHTALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, owner, nullptr);
    PostMessageW(owner, WM_NULL, 0, 0);
    DestroyMenu(menu);
    menuJustClosed = 1;
}
}  // namespace

LRESULT HandleMenuMessage(Launcher& launcher, int32_t& menuJustClosed, HWND hwnd, UINT message, WPARAM wParam,
                          LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            menuJustClosed = 0;
            launcher.RunCommand(wParam);
            return 0;
        case WM_LBUTTONDOWN:
            if (menuJustClosed != 0) {
                // This tap closed the menu; it must not open it again at once.
                menuJustClosed = 0;
            } else {
                ShowCommandMenu(launcher, menuJustClosed, hwnd);
            }
            return DefWindowProcW(hwnd, message, wParam, lParam);
        case WM_TRAYNOTIFY:
            if (lParam == static_cast<LPARAM>(WM_LBUTTONUP)) {
                ShowWindow(hwnd, SW_SHOW);
            }
            return DefWindowProcW(hwnd, message, wParam, lParam);
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}
