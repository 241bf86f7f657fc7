// Pop-up menus: building and tracking (the backend runs the modal part; the choice is posted to
// the owner as WM_COMMAND). The layout and drawing are in menulayout.cpp.
#include <algorithm>

#include "COMMON/BM_UI/uireport.h"
#include "COMMON/BM_UI/uistate.h"
#include "COMMON/BM_UI/uitext.h"

namespace {
constexpr size_t kMaxMenuItems = 256;
constexpr size_t kMaxItemText = 256;

BmMenu* Menu(HMENU menu) {
    return menu && Ui().menus.count(menu) ? menu : nullptr;
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
    uintptr_t id = Backend().TrackMenu(m->items, x, y, flags, ui.menuTimeoutMs);
    // Only an item of this menu counts as a choice.
    const bool valid =
        id != 0 && std::any_of(m->items.begin(), m->items.end(),
                               [id](const BmMenu::Item& item) { return item.Selectable() && item.id == id; });
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

MenuRecord LastTrackedMenu() {
    return Ui().lastMenu;
}

void SetMenuTrackTimeout(uint32_t ms) {
    Ui().menuTimeoutMs = ms;
}
