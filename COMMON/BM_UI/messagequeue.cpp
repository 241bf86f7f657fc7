// The process's one message queue. Retrieval order follows Win32: posted messages (in order),
// then WM_QUIT once asked for, then WM_PAINT for a window that is invalid and visible.
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_UI/crossprocess.h"
#include "COMMON/BM_UI/uistate.h"
#include "COMMON/BM_UI/uiwait.h"

namespace {
bool Matches(const MSG& m, HWND hwnd, UINT lo, UINT hi) {
    if (hwnd && m.hwnd != hwnd) {
        return false;
    }
    if (lo == 0 && hi == 0) {
        return true;
    }
    return m.message >= lo && m.message <= hi;
}

MSG MakeMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG m{};
    m.hwnd = hwnd;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    GetCursorPos(&m.pt);
    return m;
}

BmWindow* FirstWindowNeedingPaint(HWND filter) {
    for (auto& w : Ui().windows) {
        if (w->invalid && w->visible && (!filter || filter == w.get())) {
            return w.get();
        }
    }
    return nullptr;
}
}  // namespace

bool PostLocalMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    UiState& ui = Ui();
    if (ui.queue.size() >= UiState::kMaxQueuedMessages) {
        return false;
    }
    ui.queue.push_back(MakeMessage(hwnd, message, wParam, lParam));
    return true;
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Backend();  // the backend exists before the first message
    if (!hwnd) {
        return PostLocalMessage(nullptr, message, wParam, lParam) ? TRUE : FALSE;
    }
    if (LocalWindow(hwnd)) {
        return PostLocalMessage(hwnd, message, wParam, lParam) ? TRUE : FALSE;
    }
    for (auto& [path, w] : Ui().remotes) {
        if (w.get() == hwnd) {
            return PostRemoteMessage(*w, message, wParam, lParam) ? TRUE : FALSE;
        }
    }
    return FALSE;
}

void PostQuitMessage(int32_t exitCode) {
    Ui().quitRequested = true;
    Ui().quitCode = exitCode;
}

BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
    if (!msg) {
        return FALSE;
    }
    UiState& ui = Ui();
    Backend().Pump();
    PumpWindowSockets();
    const bool remove = (removeFlags & PM_REMOVE) != 0;
    for (auto it = ui.queue.begin(); it != ui.queue.end(); ++it) {
        if (Matches(*it, hwnd, filterMin, filterMax)) {
            *msg = *it;
            if (remove) {
                ui.queue.erase(it);
            }
            return TRUE;
        }
    }
    if (ui.quitRequested && !hwnd &&
        Matches(MakeMessage(nullptr, WM_QUIT, 0, 0), nullptr, filterMin, filterMax)) {
        *msg = MakeMessage(nullptr, WM_QUIT, static_cast<WPARAM>(static_cast<intptr_t>(ui.quitCode)), 0);
        if (remove) {
            ui.quitRequested = false;
        }
        return TRUE;
    }
    // WM_PAINT stays "queued" until the window is validated, as in Win32.
    if (BmWindow* w = FirstWindowNeedingPaint(hwnd);
        w && Matches(MakeMessage(w, WM_PAINT, 0, 0), hwnd, filterMin, filterMax)) {
        *msg = MakeMessage(w, WM_PAINT, 0, 0);
        return TRUE;
    }
    return FALSE;
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageW(const MSG* msg) {
    if (!msg) {
        return 0;
    }
    BmWindow* w = LocalWindow(msg->hwnd);
    if (!w || !w->proc) {
        return 0;
    }
    return w->proc(w, msg->message, msg->wParam, msg->lParam);
}

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w || !w->proc) {
        return 0;
    }
    return w->proc(w, message, wParam, lParam);
}

void AppendUiWaitDescriptors(std::vector<pollfd>* fds) {
    const int backendFd = Backend().PrepareWait();
    if (backendFd >= 0) {
        fds->push_back(pollfd{backendFd, POLLIN, 0});
    }
    for (auto& w : Ui().windows) {
        if (w->socketFd >= 0) {
            fds->push_back(pollfd{w->socketFd, POLLIN, 0});
        }
    }
}

bool UiWorkPending() {
    const UiState& ui = Ui();
    return !ui.queue.empty() || ui.quitRequested || FirstWindowNeedingPaint(nullptr) != nullptr ||
           Backend().PrepareWait() == UiBackend::kEventsQueued;
}
