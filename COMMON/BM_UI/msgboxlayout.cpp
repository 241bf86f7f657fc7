#include "COMMON/BM_UI/msgboxlayout.h"

#include <algorithm>

#include "COMMON/BM_UI/canvasinternal.h"

namespace {
constexpr int32_t kTextTopInCell = 1;  // the 13-pixel cell centred in a 16-pixel line

// Appends `paragraph` (no line breaks) to `out` as lines at most `width` pixels wide.
void WrapParagraph(const std::u16string& paragraph, int32_t width, std::vector<std::u16string>& out) {
    std::u16string line;
    size_t i = 0;
    while (i < paragraph.size()) {
        const size_t space = paragraph.find(u' ', i);
        const size_t end = space == std::u16string::npos ? paragraph.size() : space;
        std::u16string word = paragraph.substr(i, end - i);
        i = end == paragraph.size() ? end : end + 1;
        const std::u16string joined = line.empty() ? word : line + u' ' + word;
        if (MeasureText(joined) <= width) {
            line = joined;
            continue;
        }
        if (!line.empty()) {
            out.push_back(line);
        }
        // A word wider than the box is cut where it must be.
        while (word.size() > 1 && MeasureText(word) > width) {
            size_t fit = 1;
            while (fit + 1 < word.size() && MeasureText(word.substr(0, fit + 1)) <= width) {
                ++fit;
            }
            out.push_back(word.substr(0, fit));
            word.erase(0, fit);
        }
        line = word;
    }
    out.push_back(line);
}
}  // namespace

MessageBoxLayout LayoutMessageBox(const std::u16string& text, const RECT& screen) {
    const int32_t screenWidth = screen.right - screen.left;
    const int32_t screenHeight = screen.bottom - screen.top;
    const int32_t textWidth = std::max(kMessageBoxMinWidth, screenWidth * 3 / 4) - 2 * kMessageBoxMargin;
    const int32_t chrome = 3 * kMessageBoxMargin + kMessageBoxButtonHeight;
    const size_t maxLines = static_cast<size_t>(std::max(1, (screenHeight - chrome) / kMessageBoxLineHeight));

    MessageBoxLayout layout;
    size_t start = 0;
    while (start <= text.size() && layout.lines.size() < maxLines) {
        const size_t end = std::min(text.find(u'\n', start), text.size());
        std::u16string paragraph = text.substr(start, end - start);
        std::erase(paragraph, u'\r');
        WrapParagraph(paragraph, textWidth, layout.lines);
        start = end + 1;
    }
    if (layout.lines.size() > maxLines) {
        layout.lines.resize(maxLines);
    }
    int32_t widest = 0;
    for (const auto& line : layout.lines) {
        widest = std::max(widest, MeasureText(line));
    }
    layout.width = std::max(kMessageBoxMinWidth, widest + 2 * kMessageBoxMargin);
    const int32_t buttonTop =
        2 * kMessageBoxMargin + static_cast<int32_t>(layout.lines.size()) * kMessageBoxLineHeight;
    const int32_t buttonLeft = (layout.width - kMessageBoxButtonWidth) / 2;
    layout.button =
        RECT{buttonLeft, buttonTop, buttonLeft + kMessageBoxButtonWidth, buttonTop + kMessageBoxButtonHeight};
    layout.height = buttonTop + kMessageBoxButtonHeight + kMessageBoxMargin;
    return layout;
}

void DrawMessageBox(HDC hdc, const MessageBoxLayout& layout, bool pressed) {
    HBRUSH face = CreateSolidBrush(RGB(236, 236, 236));
    HBRUSH edge = CreateSolidBrush(RGB(96, 96, 96));
    HBRUSH button = CreateSolidBrush(pressed ? RGB(200, 200, 200) : RGB(252, 252, 252));
    const RECT all{0, 0, layout.width, layout.height};
    FillRect(hdc, &all, face);
    SetBkMode(hdc, TRANSPARENT);
    SetTextColor(hdc, RGB(0, 0, 0));
    int32_t y = kMessageBoxMargin;
    for (const auto& line : layout.lines) {
        ExtTextOutW(hdc, kMessageBoxMargin, y + kTextTopInCell, 0, nullptr, line.data(),
                    static_cast<UINT>(line.size()), nullptr);
        y += kMessageBoxLineHeight;
    }
    const RECT& b = layout.button;
    FillRect(hdc, &b, edge);
    const RECT inner{b.left + 1, b.top + 1, b.right - 1, b.bottom - 1};
    FillRect(hdc, &inner, button);
    static const char16_t kOk[] = u"OK";
    const int32_t okWidth = MeasureText(kOk);
    ExtTextOutW(hdc, (b.left + b.right - okWidth) / 2, b.top + (kMessageBoxButtonHeight - 13) / 2, 0, nullptr,
                kOk, 2, nullptr);
    DeleteObject(face);
    DeleteObject(edge);
    DeleteObject(button);
}
