// Injection and observation for tests, and the control requests other processes send to a
// window's socket.
#include <cstring>

#include "COMMON/BM_UI/canvasinternal.h"
#include "COMMON/BM_UI/crossprocess.h"
#include "COMMON/BM_UI/headless/headlessinput.h"
#include "COMMON/BM_UI/uireport.h"
#include "COMMON/BM_UI/uistate.h"

namespace {
constexpr int32_t kMaxTapCoordinate = 32767;  // lParam carries 16-bit signed coordinates

// A decimal number of at most 10 digits in [0, max]; false for anything else.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) {
        return false;
    }
    *out = v;
    return true;
}

// Splits "WORD rest" at the first space.
void SplitWord(const std::string& text, std::string* word, std::string* rest) {
    const size_t sp = text.find(' ');
    *word = text.substr(0, sp);
    *rest = sp == std::string::npos ? std::string() : text.substr(sp + 1);
}

bool HasControlBytes(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

bool HandleTap(BmWindow& w, const std::string& args) {
    std::string xs, ys;
    SplitWord(args, &xs, &ys);
    uint64_t x = 0, y = 0;
    if (!ParseNumber(xs, kMaxTapCoordinate, &x) || !ParseNumber(ys, kMaxTapCoordinate, &y)) {
        return false;
    }
    return InjectTap(&w, static_cast<int32_t>(x), static_cast<int32_t>(y)) == TRUE;
}

bool HandleMenu(const std::string& args) {
    std::string kind, value;
    SplitWord(args, &kind, &value);
    if (kind == "none" && value.empty()) {
        InjectMenuDismiss();
        return true;
    }
    if (kind == "id") {
        uint64_t id = 0;
        if (!ParseNumber(value, 0xFFFFFFFFu, &id)) {
            return false;
        }
        InjectMenuChoiceId(static_cast<uintptr_t>(id));
        return true;
    }
    if (kind == "text" && !value.empty()) {
        InjectMenuChoiceText(value);
        return true;
    }
    return false;
}
}  // namespace

bool HandleControlRequest(BmWindow& w, const std::string& request) {
    if (HasControlBytes(request)) {
        return false;
    }
    std::string verb, args;
    SplitWord(request, &verb, &args);
    bool ok = false;
    if (verb == "TAP") {
        ok = HandleTap(w, args);
    } else if (verb == "MENU") {
        ok = HandleMenu(args);
    } else if (verb == "TRAYTAP" && args.empty()) {
        ok = InjectTrayTap() == TRUE;
    } else if (verb == "PNG" && args.size() > 1 && args[0] == '/') {
        ok = SaveWindowPng(&w, args) == TRUE;
    }
    if (ok) {
        UiReport("CONTROL: " + request);
    }
    return ok;
}

BOOL InjectTap(HWND hwnd, int32_t x, int32_t y) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w) {
        return FALSE;
    }
    HeadlessInput::Instance().SetCursor(POINT{w->rect.left + x, w->rect.top + y});
    const LPARAM at = MAKELPARAM(x, y);
    return PostLocalMessage(w, WM_LBUTTONDOWN, MK_LBUTTON, at) && PostLocalMessage(w, WM_LBUTTONUP, 0, at)
               ? TRUE
               : FALSE;
}

COLORREF WindowPixel(HWND hwnd, int32_t x, int32_t y) {
    BmWindow* w = LocalWindow(hwnd);
    return SurfacePixel(w ? w->surface : nullptr, x, y);
}

BOOL SaveWindowPng(HWND hwnd, const std::string& path) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w || !w->surface || path.empty()) {
        return FALSE;
    }
    cairo_surface_flush(w->surface);
    return cairo_surface_write_to_png(w->surface, path.c_str()) == CAIRO_STATUS_SUCCESS ? TRUE : FALSE;
}

void ResetUiForTests() {
    Ui().Clear();
}
