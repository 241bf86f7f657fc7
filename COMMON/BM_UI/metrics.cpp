// Screen metrics, the work area, the cursor and the message box.
#include "COMMON/BM_UI/headless/headlessinput.h"
#include "COMMON/BM_UI/uireport.h"
#include "COMMON/BM_UI/uistate.h"
#include "COMMON/BM_UI/uitext.h"

namespace {
BmCursor gArrow{UiCursorShape::Arrow};
BmCursor gWait{UiCursorShape::Wait};
}  // namespace

int32_t GetSystemMetrics(int32_t index) {
    const RECT screen = Backend().ScreenRect();
    switch (index) {
        case SM_CXSCREEN:
            return screen.right - screen.left;
        case SM_CYSCREEN:
            return screen.bottom - screen.top;
        default:
            // The window manager draws caption and frame; menu bars do not exist here.
            return 0;
    }
}

BOOL SystemParametersInfoW(UINT action, UINT, void* pvParam, UINT) {
    if (action != SPI_GETWORKAREA || !pvParam) {
        return FALSE;
    }
    *static_cast<RECT*>(pvParam) = Backend().WorkArea();
    return TRUE;
}

HCURSOR LoadCursorW(HINSTANCE, const char16_t* name) {
    if (name == IDC_WAIT) {
        return &gWait;
    }
    if (name == IDC_ARROW) {
        return &gArrow;
    }
    return nullptr;
}

HCURSOR SetCursor(HCURSOR cursor) {
    UiState& ui = Ui();
    HCURSOR previous = ui.currentCursor;
    ui.currentCursor = cursor;
    Backend().SetUiCursorShape(cursor && cursor->shape == UiCursorShape::Wait ? UiCursorShape::Wait
                                                                              : UiCursorShape::Arrow);
    return previous;
}

BOOL GetCursorPos(POINT* point) {
    if (!point) {
        return FALSE;
    }
    if (!Backend().QueryCursorPos(point)) {
        *point = HeadlessInput::Instance().Cursor();
    }
    return TRUE;
}

int32_t MessageBoxW(HWND owner, const char16_t* text, const char16_t* caption, UINT) {
    const std::u16string captionText = caption ? std::u16string(caption, Utf16Length(caption)) : u"";
    const std::u16string bodyText = text ? std::u16string(text, Utf16Length(text)) : u"";
    UiReport("MESSAGEBOX: " + Utf16ToUtf8(captionText) + ": " + Utf16ToUtf8(bodyText));
    const BmWindow* w = LocalWindow(owner);
    Backend().RunMessageBox(w ? w->native : 0, captionText, bodyText);
    return IDOK;
}
