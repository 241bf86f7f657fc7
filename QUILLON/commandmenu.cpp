#include "QUILLON/commandmenu.h"

#include <vector>

#include "COMMON/BM_COMM/bmserver.h"
#include "QUILLON/commandids.h"
#include "QUILLON/devicedata.h"
#include "QUILLON/mainwnd.h"
#include "QUILLON/menumodel.h"
#include "QUILLON/programstate.h"
#include "QUILLON/torvix.h"

namespace {
MenuState GatherMenuState() {
    TabletOps& tablet = Tablet();
    MenuState state;
    state.appRunning = tablet.IsRunning();
    state.connected = gGatewayClient != nullptr && gGatewayClient->IsConnected();
    BmString scratchLocal;
    state.haveLocal = tablet.LocalVersion(&scratchLocal);
    BmString scratchGateway;
    state.haveGateway = tablet.GatewayVersion(&scratchGateway);
    state.monitorMode = gMonitorMode != 0;
    state.devMode = gDevMode != 0;
    return state;
}

void ShowCommandMenu(QuillonWnd& window) {
    const std::vector<MenuEntry> entries = CommandMenuEntries(GatherMenuState());
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
    HWND owner = QuillonWnd::GetWindowHandle();
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(owner);
    TrackPopupMenu(menu, TPM_RIGHTALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, owner, nullptr);
    PostMessageW(owner, WM_NULL, 0, 0);
    DestroyMenu(menu);
    window.menuJustClosed = 1;
}

void HandleTap() {
    QuillonWnd* window = LiveWindow();
    if (window == nullptr) {
        return;
    }
    if (window->menuJustClosed != 0) {
        // This tap closed the menu; it must not open it again at once.
        window->menuJustClosed = 0;
        return;
    }
    ShowCommandMenu(*window);
}

void StartupDefaults() {
    if (QuillonWnd* window = LiveWindow()) {
        window->AddStatusLine(BmString(u"Startup Defaults"));
    }
    gMonitorMode = 1;
    ShowWindow(QuillonWnd::GetWindowHandle(), SW_SHOW);
}
}  // namespace

void RunCommand(WPARAM id) {
    switch (id) {
        case IDM_GET_TORVIX:
            Tablet().Download(LiveWindow());
            break;
        case IDM_START_TORVIX:
            Tablet().Launch(false);
            break;
        case IDM_START_TORVIX_REMOTE:
            Tablet().Launch(true);
            break;
        case IDM_MONITOR_MODE:
            gMonitorMode = gMonitorMode == 0 ? 1 : 0;
            break;
        case IDM_EXIT:
            PostMessageW(QuillonWnd::GetWindowHandle(), WM_DESTROY, 0, 0);
            break;
        case IDM_STARTUP_DEFAULTS:
            StartupDefaults();
            break;
        case IDM_DEV_MODE:
            gDevMode = gDevMode == 0 ? 1 : 0;
            SaveDeviceData(gDevMode);
            break;
        case IDM_CLEANUP_DESKTOP:
        case IDM_TORVIX_RUNNING:
        case IDM_RESTART_NETWORK:
        default:
            break;
    }
}

LRESULT HandleMenuMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (QuillonWnd* window = LiveWindow()) {
                window->menuJustClosed = 0;
            }
            RunCommand(wParam);
            return 0;
        case WM_LBUTTONDOWN:
            HandleTap();
            return DefWindowProcW(hwnd, message, wParam, lParam);
        case WM_TRAYNOTIFY:
            if (LiveWindow() == nullptr) {
                return 0;
            }
            if (lParam == static_cast<LPARAM>(WM_LBUTTONUP)) {
                ShowWindow(QuillonWnd::GetWindowHandle(), SW_SHOW);
            }
            return DefWindowProcW(hwnd, message, wParam, lParam);
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}
