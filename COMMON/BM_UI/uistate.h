// The layer's process-wide state (one thread uses it): windows, classes, the message queue, the
// live GDI objects, menus, icons and the tray. Internal to COMMON/BM_UI; backends never see it.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "COMMON/BM_UI/uibackend.h"
#include "COMMON/BM_UI/uicontrol.h"
#include "COMMON/BM_UI/uirecords.h"
#include "COMMON/BM_UI/winapi.h"

class UiState {
public:
    static constexpr size_t kMaxQueuedMessages = 10000;

    ~UiState();

    std::unique_ptr<UiBackend> backend;
    std::vector<std::unique_ptr<BmWindow>> windows;            // live local windows, creation order
    std::map<std::string, std::unique_ptr<BmWindow>> remotes;  // by socket path
    std::vector<WindowClass> classes;
    std::deque<MSG> queue;
    bool quitRequested = false;
    int32_t quitCode = 0;
    uint64_t nextSerial = 1;

    std::set<BmCanvas*> canvases;
    std::set<BmGdiObject*> objects;
    std::set<BmMenu*> menus;
    std::set<BmIcon*> icons;

    TrayIconState tray;
    MenuRecord lastMenu;
    HCURSOR currentCursor = nullptr;
    uint32_t menuTimeoutMs = 0;

    // Releases everything (without calling any procedure), injected input included; the backend
    // stays.
    void Clear();

private:
    // Clear() less the injected input, which may already be gone when the process ends.
    void Release();
};

UiState& Ui();

// Lookups that validate a handle against the live set.
BmWindow* LocalWindow(HWND hwnd);  // a live window of this process
bool IsRemoteWindow(HWND hwnd);

// Appends to this process's queue; false when full (messagequeue.cpp).
bool PostLocalMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// A window's backing image, created or resized to its rectangle (content kept where it overlaps);
// nullptr when it cannot be made (window.cpp).
cairo_surface_t* WindowSurface(BmWindow& window);

// Frees every menu (menu.cpp).
void DestroyAllMenus();
// Frees every icon (tray.cpp).
void DestroyAllIcons();
// Removes the tray icon when it belongs to a window that goes away (tray.cpp).
void DropTrayOf(HWND window);

// Tests: forgets the backend too, so that the next call chooses and configures it afresh
// (QUILLON_UI, QUILLON_SCREEN, DISPLAY read again).
void DropBackendForTests();
