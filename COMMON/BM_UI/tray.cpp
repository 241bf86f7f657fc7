// Icons and the one notification-area icon the program shows. The state lives here; the backend
// shows it (X11: an XEmbed tray client) and reports taps as the callback message.
#include <cstring>

#include "COMMON/BM_UI/uireport.h"
#include "COMMON/BM_UI/uistate.h"

namespace {
constexpr int32_t kMaxIconSide = 256;

BmIcon* Icon(HICON icon) {
    return icon && Ui().icons.count(icon) ? icon : nullptr;
}

bool SameIcon(const TrayIconState& tray, const NOTIFYICONDATAW& d) {
    return tray.hwnd == d.hWnd && tray.id == d.uID;
}

// Takes the record's icon and callback into the state; false for a bad icon.
bool ApplyRecord(TrayIconState& tray, const NOTIFYICONDATAW& d) {
    if (d.uFlags & NIF_ICON) {
        BmIcon* icon = Icon(d.hIcon);
        if (d.hIcon && !icon) {
            return false;
        }
        if (tray.iconSurface) {
            cairo_surface_destroy(tray.iconSurface);
        }
        tray.icon = icon;
        tray.iconResourceId = icon ? icon->resourceId : 0;
        tray.iconSurface = icon ? cairo_surface_reference(icon->surface) : nullptr;
    }
    if (d.uFlags & NIF_MESSAGE) {
        tray.callbackMessage = d.uCallbackMessage;
    }
    tray.flags |= d.uFlags;
    return true;
}
}  // namespace

void DestroyAllIcons() {
    for (BmIcon* i : Ui().icons) {
        cairo_surface_destroy(i->surface);
        delete i;
    }
    Ui().icons.clear();
}

HICON CreateIconFromPixels(int32_t width, int32_t height, const uint32_t* argb, int32_t resourceId) {
    if (!argb || width < 1 || height < 1 || width > kMaxIconSide || height > kMaxIconSide) {
        return nullptr;
    }
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return nullptr;
    }
    cairo_surface_flush(s);
    unsigned char* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            // Cairo wants premultiplied alpha.
            const uint32_t p = argb[static_cast<size_t>(y) * width + x];
            const uint32_t a = p >> 24;
            const uint32_t r = ((p >> 16) & 0xFF) * a / 255;
            const uint32_t g = ((p >> 8) & 0xFF) * a / 255;
            const uint32_t b = (p & 0xFF) * a / 255;
            const uint32_t q = (a << 24) | (r << 16) | (g << 8) | b;
            std::memcpy(data + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4, &q, 4);
        }
    }
    cairo_surface_mark_dirty(s);
    auto* icon = new BmIcon{width, height, resourceId, s};
    Ui().icons.insert(icon);
    return icon;
}

BOOL DestroyIcon(HICON icon) {
    BmIcon* i = Icon(icon);
    if (!i) {
        return FALSE;
    }
    if (Ui().tray.icon == i) {
        Ui().tray.icon = nullptr;  // the tray keeps its own reference to the picture
    }
    cairo_surface_destroy(i->surface);
    Ui().icons.erase(i);
    delete i;
    return TRUE;
}

int32_t IconResourceId(HICON icon) {
    BmIcon* i = Icon(icon);
    return i ? i->resourceId : 0;
}

BOOL Shell_NotifyIconW(DWORD action, const NOTIFYICONDATAW* data) {
    if (!data || (data->cbSize != NOTIFYICONDATAW_V1_SIZE && data->cbSize != sizeof(NOTIFYICONDATAW)) ||
        !LocalWindow(data->hWnd)) {
        return FALSE;
    }
    UiState& ui = Ui();
    TrayIconState& tray = ui.tray;
    switch (action) {
        case NIM_ADD: {
            if (tray.present) {
                return FALSE;  // one icon per program
            }
            TrayIconState fresh;
            fresh.hwnd = data->hWnd;
            fresh.id = data->uID;
            if (!ApplyRecord(fresh, *data)) {
                return FALSE;
            }
            fresh.present = true;
            tray = fresh;
            UiReport("TRAY: add icon " + std::to_string(tray.iconResourceId));
            break;
        }
        case NIM_MODIFY:
            if (!tray.present || !SameIcon(tray, *data) || !ApplyRecord(tray, *data)) {
                return FALSE;
            }
            UiReport("TRAY: modify icon " + std::to_string(tray.iconResourceId));
            break;
        case NIM_DELETE:
            if (!tray.present || !SameIcon(tray, *data)) {
                return FALSE;
            }
            tray.present = false;
            UiReport("TRAY: delete");
            break;
        default:
            return FALSE;
    }
    Backend().TrayChanged(tray.present, tray.iconSurface);
    if (!tray.present) {
        if (tray.iconSurface) {
            cairo_surface_destroy(tray.iconSurface);
        }
        tray = TrayIconState{};
    }
    return TRUE;
}

// The icon of a destroyed window goes with it: its taps would have nowhere to go.
void DropTrayOf(HWND window) {
    TrayIconState& tray = Ui().tray;
    if (!tray.present || tray.hwnd != window) {
        return;
    }
    tray.present = false;
    Backend().TrayChanged(tray.present, tray.iconSurface);
    if (tray.iconSurface) {
        cairo_surface_destroy(tray.iconSurface);
    }
    tray = TrayIconState{};
    UiReport("TRAY: delete (its window was destroyed)");
}

TrayRecord CurrentTray() {
    const TrayIconState& tray = Ui().tray;
    TrayRecord r;
    r.present = tray.present;
    r.hwnd = tray.hwnd;
    r.id = tray.id;
    r.callbackMessage = tray.callbackMessage;
    r.iconResourceId = tray.iconResourceId;
    if (tray.present) {
        r.docked = Backend().TrayDocked();
        r.iconRect = Backend().TrayIconRect();
    }
    return r;
}

// A tap on the icon: button down and up, each as the callback's lParam.
bool PostTrayTap(UINT mouseMessage) {
    const TrayIconState& tray = Ui().tray;
    if (!tray.present || !LocalWindow(tray.hwnd) || !(tray.flags & NIF_MESSAGE)) {
        return false;
    }
    return PostLocalMessage(tray.hwnd, tray.callbackMessage, tray.id, static_cast<LPARAM>(mouseMessage));
}

BOOL InjectTrayTap() {
    return PostTrayTap(WM_LBUTTONDOWN) && PostTrayTap(WM_LBUTTONUP) ? TRUE : FALSE;
}
