#include "COMMON/BM_UI/menulayout.h"

#include <algorithm>

#include "COMMON/BM_UI/canvasinternal.h"

std::vector<MenuLayoutItem> LayoutMenu(const std::vector<BmMenuItem>& items, int32_t* width,
                                       int32_t* height) {
    std::vector<MenuLayoutItem> layout;
    int32_t textWidth = 0;
    for (const auto& item : items) {
        if (!(item.flags & MF_SEPARATOR)) {
            textWidth = std::max(textWidth, MeasureText(item.text));
        }
    }
    const int32_t w = std::max(kMenuMinWidth, kMenuCheckColumn + textWidth + kMenuTextRight);
    int32_t y = kMenuPadding;
    for (const auto& item : items) {
        const int32_t h = (item.flags & MF_SEPARATOR) ? kMenuSeparatorHeight : kMenuItemHeight;
        layout.push_back(MenuLayoutItem{RECT{0, y, w, y + h}, item.Selectable()});
        y += h;
    }
    *width = w;
    *height = y + kMenuPadding;
    return layout;
}

POINT PlaceMenu(int32_t x, int32_t y, UINT flags, int32_t width, int32_t height, const RECT& screen) {
    int32_t left = x;
    if (flags & TPM_RIGHTALIGN) {
        left = x - width;
    } else if (flags & TPM_CENTERALIGN) {
        left = x - width / 2;
    }
    int32_t top = y;
    if (top + height > screen.bottom) {
        top = y - height >= screen.top ? y - height
                                       : screen.bottom - height;  // open upwards when it does not fit
    }
    left = std::max(screen.left, std::min(left, screen.right - width));
    top = std::max(screen.top, std::min(top, screen.bottom - height));
    return POINT{left, top};
}

void DrawMenu(HDC hdc, const std::vector<BmMenuItem>& items, const std::vector<MenuLayoutItem>& layout,
              int32_t width, int32_t height, int32_t highlight) {
    const COLORREF kFace = RGB(236, 236, 236);
    const COLORREF kHighlight = RGB(48, 96, 192);
    const COLORREF kEdge = RGB(96, 96, 96);
    HBRUSH face = CreateSolidBrush(kFace);
    HBRUSH high = CreateSolidBrush(kHighlight);
    HBRUSH edge = CreateSolidBrush(kEdge);
    RECT all{0, 0, width, height};
    FillRect(hdc, &all, edge);
    RECT inner{1, 1, width - 1, height - 1};
    FillRect(hdc, &inner, face);
    SetBkMode(hdc, TRANSPARENT);
    for (size_t i = 0; i < items.size() && i < layout.size(); ++i) {
        const auto& item = items[i];
        const RECT& r = layout[i].rect;
        if (item.flags & MF_SEPARATOR) {
            RECT line{4, (r.top + r.bottom) / 2, width - 4, (r.top + r.bottom) / 2 + 1};
            FillRect(hdc, &line, edge);
            continue;
        }
        const bool lit = static_cast<int32_t>(i) == highlight && layout[i].selectable;
        if (lit) {
            RECT band{1, r.top, width - 1, r.bottom};
            FillRect(hdc, &band, high);
        }
        SetTextColor(hdc,
                     lit ? RGB(255, 255, 255) : (layout[i].selectable ? RGB(0, 0, 0) : RGB(140, 140, 140)));
        const int32_t textTop = r.top + (kMenuItemHeight - 14) / 2;
        if (item.flags & MF_CHECKED) {
            static const char16_t kCheck[] = u"\u2713";
            ExtTextOutW(hdc, 6, textTop, 0, nullptr, kCheck, 1, nullptr);
        }
        ExtTextOutW(hdc, kMenuCheckColumn, textTop, 0, nullptr, item.text.data(),
                    static_cast<UINT>(item.text.size()), nullptr);
    }
    DeleteObject(face);
    DeleteObject(high);
    DeleteObject(edge);
}
