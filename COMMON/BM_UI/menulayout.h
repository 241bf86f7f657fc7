// The pop-up menu's geometry and drawing (menulayout.cpp), shared by the X11 menu window and the
// tests. Internal to COMMON/BM_UI.
#pragma once

#include <cstdint>
#include <vector>

#include "COMMON/BM_UI/uirecords.h"
#include "COMMON/BM_UI/winapi.h"

struct MenuLayoutItem {
    RECT rect{};  // relative to the menu window
    bool selectable = false;
};

constexpr int32_t kMenuItemHeight = 28;
constexpr int32_t kMenuSeparatorHeight = 9;
constexpr int32_t kMenuPadding = 4;
constexpr int32_t kMenuCheckColumn = 22;
constexpr int32_t kMenuTextRight = 18;
constexpr int32_t kMenuMinWidth = 120;

// One rectangle per item, top to bottom; *width and *height receive the menu window's size.
std::vector<MenuLayoutItem> LayoutMenu(const std::vector<BmMenuItem>& items, int32_t* width, int32_t* height);
// Top-left of a width x height menu asked for at (x, y) with flags, kept on the screen.
POINT PlaceMenu(int32_t x, int32_t y, UINT flags, int32_t width, int32_t height, const RECT& screen);
// Draws the menu with item `highlight` (-1: none) into a canvas of the menu's size.
void DrawMenu(HDC hdc, const std::vector<BmMenuItem>& items, const std::vector<MenuLayoutItem>& layout,
              int32_t width, int32_t height, int32_t highlight);
