// Pop-up menus: building, the layout and drawing shared by the X11 menu window, and tracking
// (the backend runs the modal part; the choice is posted to the owner as WM_COMMAND).
#include <algorithm>

#include "COMMON/BM_UI/uistate.h"

namespace {
constexpr size_t kMaxMenuItems = 256;
constexpr size_t kMaxItemText = 256;

BmMenu* Menu(HMENU menu) {
    return menu && Ui().menus.count(menu) ? menu : nullptr;
}

bool Selectable(const BmMenu::Item& item) {
    return !(item.flags & (MF_SEPARATOR | MF_GRAYED | MF_DISABLED));
}

std::vector<MenuItemInfo> Describe(const BmMenu& menu) {
    std::vector<MenuItemInfo> out;
    for (const auto& item : menu.items) {
        MenuItemInfo info;
        info.separator = (item.flags & MF_SEPARATOR) != 0;
        info.id = info.separator ? 0 : item.id;
        info.text = info.separator ? std::string() : Utf16ToUtf8(item.text);
        info.checked = (item.flags & MF_CHECKED) != 0;
        out.push_back(info);
    }
    return out;
}
}  // namespace

void DestroyAllMenus() {
    for (BmMenu* m : Ui().menus) {
        delete m;
    }
    Ui().menus.clear();
}

HMENU CreatePopupMenu() {
    auto* m = new BmMenu;
    Ui().menus.insert(m);
    return m;
}

BOOL AppendMenuW(HMENU menu, UINT flags, uintptr_t id, const char16_t* text) {
    BmMenu* m = Menu(menu);
    if (!m || m->items.size() >= kMaxMenuItems) {
        return FALSE;
    }
    BmMenu::Item item;
    item.flags = flags;
    if (!(flags & MF_SEPARATOR)) {
        if (!text) {
            return FALSE;
        }
        item.id = id;
        item.text.assign(text, std::min(Utf16Length(text), kMaxItemText));
    }
    m->items.push_back(item);
    return TRUE;
}

BOOL DestroyMenu(HMENU menu) {
    BmMenu* m = Menu(menu);
    if (!m) {
        return FALSE;
    }
    Ui().menus.erase(m);
    delete m;
    return TRUE;
}

int32_t GetMenuItemCount(HMENU menu) {
    BmMenu* m = Menu(menu);
    return m ? static_cast<int32_t>(m->items.size()) : -1;
}

std::string DescribeMenu(const std::vector<MenuItemInfo>& items) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) {
            out += " | ";
        }
        out += item.separator ? "---" : (item.checked ? "[x] " : "") + item.text;
    }
    return out;
}

// The next injected choice, resolved against this menu (0: dismissed).
uintptr_t ConsumeInjectedChoice(const BmMenu& menu) {
    UiState& ui = Ui();
    if (ui.menuChoices.empty()) {
        return 0;
    }
    const MenuChoice choice = ui.menuChoices.front();
    ui.menuChoices.pop_front();
    for (const auto& item : menu.items) {
        if (!Selectable(item)) {
            continue;
        }
        if ((choice.kind == MenuChoice::Kind::Id && item.id == choice.id) ||
            (choice.kind == MenuChoice::Kind::Text && Utf16ToUtf8(item.text) == choice.text)) {
            return item.id;
        }
    }
    return 0;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int32_t x, int32_t y, int32_t, HWND owner, const RECT*) {
    BmMenu* m = Menu(menu);
    if (!m || !LocalWindow(owner)) {
        return FALSE;
    }
    UiState& ui = Ui();
    ui.lastMenu = MenuRecord{};
    ui.lastMenu.tracked = true;
    ui.lastMenu.items = Describe(*m);
    ui.lastMenu.x = x;
    ui.lastMenu.y = y;
    UiReport("MENU: " + DescribeMenu(ui.lastMenu.items));
    uintptr_t id = Backend().TrackMenu(m, x, y, flags, owner);
    // Only an item of this menu counts as a choice.
    const bool valid =
        id != 0 && std::any_of(m->items.begin(), m->items.end(),
                               [id](const BmMenu::Item& item) { return Selectable(item) && item.id == id; });
    if (!valid) {
        id = 0;
    }
    ui.lastMenu.chosenId = id;
    UiReport(id ? "MENU CHOICE: " + std::to_string(id) : std::string("MENU CHOICE: none"));
    if (!id) {
        return 0;
    }
    if (flags & TPM_RETURNCMD) {
        return static_cast<BOOL>(id);
    }
    if (LocalWindow(owner)) {
        PostLocalMessage(owner, WM_COMMAND, id, 0);
    }
    return TRUE;
}

std::vector<MenuLayoutItem> LayoutMenu(const BmMenu& menu, int32_t* width, int32_t* height) {
    std::vector<MenuLayoutItem> layout;
    int32_t textWidth = 0;
    for (const auto& item : menu.items) {
        if (!(item.flags & MF_SEPARATOR)) {
            textWidth = std::max(textWidth, MeasureText(item.text));
        }
    }
    const int32_t w = std::max(kMenuMinWidth, kMenuCheckColumn + textWidth + kMenuTextRight);
    int32_t y = kMenuPadding;
    for (const auto& item : menu.items) {
        const int32_t h = (item.flags & MF_SEPARATOR) ? kMenuSeparatorHeight : kMenuItemHeight;
        layout.push_back(MenuLayoutItem{RECT{0, y, w, y + h}, Selectable(item)});
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

void DrawMenu(HDC hdc, const BmMenu& menu, const std::vector<MenuLayoutItem>& layout, int32_t width,
              int32_t height, int32_t highlight) {
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
    for (size_t i = 0; i < menu.items.size() && i < layout.size(); ++i) {
        const auto& item = menu.items[i];
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

MenuRecord LastTrackedMenu() {
    return Ui().lastMenu;
}

void InjectMenuChoiceId(uintptr_t id) {
    Ui().menuChoices.push_back(MenuChoice{MenuChoice::Kind::Id, id, {}});
}

void InjectMenuChoiceText(const std::string& textUtf8) {
    Ui().menuChoices.push_back(MenuChoice{MenuChoice::Kind::Text, 0, textUtf8});
}

void InjectMenuDismiss() {
    Ui().menuChoices.push_back(MenuChoice{MenuChoice::Kind::Dismiss, 0, {}});
}

void ClearInjectedMenuChoices() {
    Ui().menuChoices.clear();
}

void SetMenuTrackTimeout(uint32_t ms) {
    Ui().menuTimeoutMs = ms;
}
