#include "COMMON/BM_UI/uistate.h"

#include <fontconfig/fontconfig.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "COMMON/BM_UI/canvasinternal.h"
#include "COMMON/BM_UI/crossprocess.h"
#include "COMMON/BM_UI/headless/headlessinput.h"
#include "COMMON/BM_UI/uireport.h"

namespace {
std::unique_ptr<UiBackend> ChooseBackend() {
    const char* ui = std::getenv("QUILLON_UI");
    const char* display = std::getenv("DISPLAY");
    bool wantX11 = display && *display;
    if (ui && *ui) {
        if (std::strcmp(ui, "headless") == 0) {
            wantX11 = false;
        } else if (std::strcmp(ui, "x11") == 0) {
            wantX11 = true;
        } else {
            UiReport("UI: unknown QUILLON_UI value, choosing by DISPLAY");
        }
    }
    if (wantX11) {
        std::string why;
        if (auto x11 = MakeX11Backend(&why)) {
            return x11;
        }
        UiReport("UI: cannot use X11 (" + why + "), using the headless backend");
    }
    return MakeHeadlessBackend();
}
}  // namespace

UiState& Ui() {
    static UiState state;
    return state;
}

UiState::~UiState() {
    Release();
    backend.reset();
    // Font caches would otherwise outlive the process's last use and show up as leaks.
    cairo_debug_reset_static_data();
    FcFini();
}

void UiState::Clear() {
    Release();
    HeadlessInput::Instance().Clear();
}

void UiState::Release() {
    if (tray.present && backend) {
        tray.present = false;
        backend->TrayChanged(false, nullptr);
    }
    if (tray.iconSurface) {
        cairo_surface_destroy(tray.iconSurface);
    }
    tray = TrayIconState{};
    DestroyAllGdi();  // canvases refer to windows: they go first
    for (auto& w : windows) {
        CloseWindowSocket(*w);
        if (backend) {
            backend->DestroyNative(w->native);
            w->native = 0;
        }
        if (w->surface) {
            cairo_surface_destroy(w->surface);
        }
    }
    windows.clear();
    remotes.clear();
    classes.clear();
    queue.clear();
    quitRequested = false;
    quitCode = 0;
    DestroyAllMenus();
    DestroyAllIcons();
    lastMenu = MenuRecord{};
    currentCursor = nullptr;
    menuTimeoutMs = 0;
}

UiBackend& Backend() {
    UiState& ui = Ui();
    if (!ui.backend) {
        ui.backend = ChooseBackend();
    }
    return *ui.backend;
}

void AdoptBackend(std::unique_ptr<UiBackend> backend) {
    UiState& ui = Ui();
    if (!ui.backend) {
        ui.backend = std::move(backend);
    }
}

BmWindow* LocalWindow(HWND hwnd) {
    if (!hwnd) {
        return nullptr;
    }
    for (auto& w : Ui().windows) {
        if (w.get() == hwnd) {
            return w.get();
        }
    }
    return nullptr;
}

bool IsRemoteWindow(HWND hwnd) {
    if (!hwnd) {
        return false;
    }
    for (auto& [path, w] : Ui().remotes) {
        if (w.get() == hwnd) {
            return true;
        }
    }
    return false;
}

void UiReport(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

std::string UiBackendName() {
    return Backend().Name();
}

void DropBackendForTests() {
    Ui().Clear();
    Ui().backend.reset();
}
