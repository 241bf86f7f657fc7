// Pop-up menus in the headless backend: building, tracking with injected choices, the report
// line tests outside the process read, placement on the screen.
#include <gtest/gtest.h>

#include "COMMON/BM_UI/canvasinternal.h"
#include "COMMON/BM_UI/menulayout.h"
#include "tests/BM_UI/uitestsupport.h"

namespace {
using MenuTest = UiTest;

HMENU CommandMenu(bool monitor) {
    HMENU m = CreatePopupMenu();
    AppendMenuW(m, MF_STRING, 1125, u"Cleanup Desktop");
    AppendMenuW(m, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(m, MF_STRING, 1133, u"Restart Network");
    AppendMenuW(m, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(m, MF_STRING | (monitor ? MF_CHECKED : MF_UNCHECKED), 1129, u"Monitor Mode");
    AppendMenuW(m, MF_STRING, 1134, u"Dev Mode");
    AppendMenuW(m, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(m, MF_STRING, 1130, u"Exit");
    return m;
}

// Tracks `menu` for `owner` and returns the ids of the WM_COMMANDs that followed.
std::vector<WPARAM> TrackAndCollect(HMENU menu, HWND owner, BOOL* result) {
    *result = TrackPopupMenu(menu, TPM_RIGHTALIGN | TPM_LEFTBUTTON, 300, 200, 0, owner, nullptr);
    std::vector<WPARAM> ids;
    MSG msg{};
    while (PeekMessageW(&msg, nullptr, WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
        EXPECT_EQ(msg.hwnd, owner);
        ids.push_back(msg.wParam);
    }
    return ids;
}
}  // namespace

TEST_F(MenuTest, InjectedChoicesAnswerMenusInOrder) {
    HWND owner = MakeWindow(u"CMenuOwner", u"Owner", WS_POPUP);
    HMENU menu = CommandMenu(true);
    EXPECT_EQ(GetMenuItemCount(menu), 8);

    InjectMenuChoiceId(1134);
    InjectMenuChoiceText("Exit");
    InjectMenuDismiss();
    InjectMenuChoiceId(4242);                 // names no item
    InjectMenuChoiceText("Restart Network");  // kept for a later menu
    BOOL result = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(TrackAndCollect(menu, owner, &result), std::vector<WPARAM>{1134});
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(result);
    EXPECT_NE(printed.find(
                  "MENU: Cleanup Desktop | --- | Restart Network | --- | [x] Monitor Mode | Dev Mode | --- | "
                  "Exit\n"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("MENU CHOICE: 1134\n"), std::string::npos);

    EXPECT_EQ(TrackAndCollect(menu, owner, &result), std::vector<WPARAM>{1130});
    EXPECT_TRUE(TrackAndCollect(menu, owner, &result).empty());
    EXPECT_FALSE(result);
    EXPECT_TRUE(TrackAndCollect(menu, owner, &result).empty());
    EXPECT_EQ(LastTrackedMenu().chosenId, 0u);
    ClearInjectedMenuChoices();
    EXPECT_TRUE(TrackAndCollect(menu, owner, &result).empty()) << "nothing injected: dismissed";

    const MenuRecord last = LastTrackedMenu();
    ASSERT_TRUE(last.tracked);
    ASSERT_EQ(last.items.size(), 8u);
    EXPECT_TRUE(last.items[1].separator);
    EXPECT_TRUE(last.items[4].checked);
    EXPECT_EQ(last.items[4].text, "Monitor Mode");
    EXPECT_EQ(last.items[4].id, 1129u);
    EXPECT_FALSE(last.items[5].checked);
    EXPECT_EQ(last.x, 300);
    EXPECT_TRUE(DestroyMenu(menu));
    EXPECT_FALSE(DestroyMenu(menu));
}

TEST_F(MenuTest, OnlyEnabledItemsOfThisMenuCanBeChosen) {
    HWND owner = MakeWindow(u"CMenuOwner", u"Owner", WS_POPUP);
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | MF_GRAYED, 7, u"Greyed");
    AppendMenuW(menu, MF_STRING, 8, u"Fine");
    EXPECT_FALSE(AppendMenuW(menu, MF_STRING, 9, nullptr));
    EXPECT_FALSE(AppendMenuW(nullptr, MF_STRING, 9, u"x"));
    BOOL result = 0;
    InjectMenuChoiceId(0);  // the separator's id
    EXPECT_TRUE(TrackAndCollect(menu, owner, &result).empty());
    InjectMenuChoiceText("Greyed");
    EXPECT_TRUE(TrackAndCollect(menu, owner, &result).empty());
    InjectMenuChoiceId(8);
    EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, owner, nullptr), 8) << "returned, not posted";
    MSG msg{};
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_COMMAND, WM_COMMAND, PM_REMOVE));
    InjectMenuChoiceId(8);
    EXPECT_FALSE(TrackPopupMenu(menu, 0, 0, 0, 0, nullptr, nullptr)) << "a menu needs an owner";
    DestroyMenu(menu);
}

TEST(MenuPlacementTest, RightAlignedAndKeptOnScreen) {
    const RECT screen{0, 0, 800, 480};
    POINT p = PlaceMenu(600, 100, TPM_RIGHTALIGN, 150, 200, screen);
    EXPECT_EQ(p.x, 450);
    EXPECT_EQ(p.y, 100);
    p = PlaceMenu(600, 100, TPM_LEFTALIGN, 150, 200, screen);
    EXPECT_EQ(p.x, 600);
    p = PlaceMenu(50, 100, TPM_RIGHTALIGN, 150, 200, screen);
    EXPECT_EQ(p.x, 0) << "pushed back onto the screen";
    p = PlaceMenu(790, 100, TPM_LEFTALIGN, 150, 200, screen);
    EXPECT_EQ(p.x, 650);
    p = PlaceMenu(600, 400, TPM_RIGHTALIGN, 150, 200, screen);
    EXPECT_EQ(p.y, 200) << "opens upwards from the point";
    p = PlaceMenu(600, 100, TPM_RIGHTALIGN, 150, 600, screen);
    EXPECT_EQ(p.y, 0) << "taller than the screen: from the top";
}

TEST_F(MenuTest, LayoutStacksItemsAndSeparators) {
    HMENU menu = CommandMenu(false);
    int32_t width = 0, height = 0;
    const auto layout = LayoutMenu(menu->items, &width, &height);
    ASSERT_EQ(layout.size(), 8u);
    EXPECT_EQ(layout[0].rect.top, kMenuPadding);
    EXPECT_EQ(layout[1].rect.top, kMenuPadding + kMenuItemHeight);
    EXPECT_EQ(layout[2].rect.top, kMenuPadding + kMenuItemHeight + kMenuSeparatorHeight);
    EXPECT_FALSE(layout[1].selectable);
    EXPECT_TRUE(layout[2].selectable);
    EXPECT_EQ(height, 5 * kMenuItemHeight + 3 * kMenuSeparatorHeight + 2 * kMenuPadding);
    EXPECT_GE(width, MeasureText(u"Cleanup Desktop") + kMenuCheckColumn);

    // Drawn with the canvas: the highlighted band differs from the face.
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bmp = CreateCompatibleBitmap(dc, width, height);
    SelectObject(dc, bmp);
    DrawMenu(dc, menu->items, layout, width, height, 2);
    const COLORREF face = GetPixel(dc, width - 3, layout[0].rect.top + 2);
    EXPECT_NE(GetPixel(dc, width - 3, layout[2].rect.top + 2), face);
    EXPECT_EQ(GetPixel(dc, width - 3, layout[5].rect.top + 2), face);
    DeleteDC(dc);
    DeleteObject(bmp);
    DestroyMenu(menu);
}
