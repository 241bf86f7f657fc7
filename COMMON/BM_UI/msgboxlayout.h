// The message box's geometry and drawing (msgboxlayout.cpp), shared by the X11 dialog window and
// the tests: the text wrapped at word boundaries, an OK button centred below it. Internal to
// COMMON/BM_UI.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "COMMON/BM_UI/winapi.h"

constexpr int32_t kMessageBoxMargin = 16;
constexpr int32_t kMessageBoxLineHeight = 16;
constexpr int32_t kMessageBoxMinWidth = 240;
constexpr int32_t kMessageBoxButtonWidth = 88;
constexpr int32_t kMessageBoxButtonHeight = 32;

struct MessageBoxLayout {
    std::vector<std::u16string> lines;
    int32_t width = 0;
    int32_t height = 0;
    RECT button{};  // relative to the box
};

// Lays `text` out for a box that fits within `screen`: line breaks kept, long lines wrapped at
// spaces (a word wider than the box is cut), lines that would not fit below the screen's height
// left out.
MessageBoxLayout LayoutMessageBox(const std::u16string& text, const RECT& screen);
// Draws the box (`pressed`: the button held down) into a canvas of the layout's size.
void DrawMessageBox(HDC hdc, const MessageBoxLayout& layout, bool pressed);
