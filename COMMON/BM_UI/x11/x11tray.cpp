// The tray icon on X11: a small window docked into the freedesktop system tray (XEmbed). Without
// a tray manager the icon is absent; it docks when a manager appears later.
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <cairo-xlib.h>

#include <algorithm>

#include "COMMON/BM_UI/x11/x11backend.h"

namespace {
constexpr long kSystemTrayRequestDock = 0;
constexpr long kXembedMapped = 1;
constexpr unsigned kIconWindowSide = 16;
}  // namespace

void X11Backend::TrayChanged(bool present, cairo_surface_t* icon) {
    cairo_surface_t* keep = present && icon ? cairo_surface_reference(icon) : nullptr;
    if (trayIcon_) {
        cairo_surface_destroy(trayIcon_);
    }
    trayIcon_ = keep;
    if (!present) {
        if (trayWindow_) {
            XDestroyWindow(display_, trayWindow_);
            XFlush(display_);
            trayWindow_ = 0;
        }
        trayDocked_ = false;
        return;
    }
    if (!trayWindow_) {
        XSetWindowAttributes a{};
        a.background_pixmap = ParentRelative;
        a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
        trayWindow_ =
            XCreateWindow(display_, root_, 0, 0, kIconWindowSide, kIconWindowSide, 0, CopyFromParent,
                          InputOutput, CopyFromParent, CWBackPixmap | CWEventMask, &a);
        const long info[2] = {0, kXembedMapped};  // XEmbed version 0; map me when embedded
        XChangeProperty(display_, trayWindow_, xembedInfo_, xembedInfo_, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(info), 2);
        // Tray managers size the embedded window from its minimum and base size.
        XSizeHints* hints = XAllocSizeHints();
        hints->flags = PMinSize | PBaseSize;
        hints->min_width = hints->base_width = kIconWindowSide;
        hints->min_height = hints->base_height = kIconWindowSide;
        XSetWMNormalHints(display_, trayWindow_, hints);
        XFree(hints);
        char resName[] = "quillon";
        char resClass[] = "QuillonTray";
        XClassHint classHint{resName, resClass};
        XSetClassHint(display_, trayWindow_, &classHint);
        trayDocked_ = false;
        RequestDock();
    }
    DrawTray();
}

void X11Backend::RequestDock() {
    const Window manager = XGetSelectionOwner(display_, traySelection_);
    if (!manager || !trayWindow_) {
        return;
    }
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = manager;
    ev.xclient.message_type = trayOpcode_;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = CurrentTime;
    ev.xclient.data.l[1] = kSystemTrayRequestDock;
    ev.xclient.data.l[2] = static_cast<long>(trayWindow_);
    XSendEvent(display_, manager, False, NoEventMask, &ev);
    XFlush(display_);
}

void X11Backend::DrawTray() {
    if (!trayWindow_) {
        return;
    }
    XWindowAttributes wa{};
    if (!XGetWindowAttributes(display_, trayWindow_, &wa) || wa.map_state != IsViewable) {
        return;
    }
    XClearWindow(display_, trayWindow_);
    if (trayIcon_) {
        cairo_surface_t* xs =
            cairo_xlib_surface_create(display_, trayWindow_, wa.visual, wa.width, wa.height);
        cairo_t* cr = cairo_create(xs);
        const int iw = cairo_image_surface_get_width(trayIcon_);
        const int ih = cairo_image_surface_get_height(trayIcon_);
        // The manager decides the size; the icon is centred, scaled down only when it does not fit.
        const double scale =
            std::min({1.0, static_cast<double>(wa.width) / iw, static_cast<double>(wa.height) / ih});
        cairo_translate(cr, (wa.width - iw * scale) / 2, (wa.height - ih * scale) / 2);
        cairo_scale(cr, scale, scale);
        cairo_set_source_surface(cr, trayIcon_, 0, 0);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_flush(xs);
        cairo_surface_destroy(xs);
    }
    XFlush(display_);
}

bool X11Backend::HandleTrayEvent(XEvent& event) {
    if (event.type == ClientMessage && event.xclient.window == root_ &&
        event.xclient.message_type == manager_ &&
        static_cast<Atom>(event.xclient.data.l[1]) == traySelection_) {
        if (trayWindow_ && !trayDocked_) {
            RequestDock();  // a tray manager has started
        }
        return true;
    }
    if (!trayWindow_ || event.xany.window != trayWindow_) {
        return false;
    }
    switch (event.type) {
        case Expose:
            if (event.xexpose.count == 0) {
                DrawTray();
            }
            break;
        case MapNotify:
            DrawTray();
            break;
        case ReparentNotify:
            trayDocked_ = event.xreparent.parent != root_;
            break;
        case ButtonPress:
            if (event.xbutton.button == Button1) {
                PostTrayTap(WM_LBUTTONDOWN);
            }
            break;
        case ButtonRelease:
            if (event.xbutton.button == Button1) {
                PostTrayTap(WM_LBUTTONUP);
            }
            break;
        default:
            break;
    }
    return true;
}

RECT X11Backend::TrayIconRect() {
    if (!trayWindow_ || !trayDocked_) {
        return RECT{};
    }
    XWindowAttributes wa{};
    int x = 0, y = 0;
    Window child = 0;
    if (!XGetWindowAttributes(display_, trayWindow_, &wa) || wa.map_state != IsViewable ||
        !XTranslateCoordinates(display_, trayWindow_, root_, 0, 0, &x, &y, &child)) {
        return RECT{};
    }
    return RECT{x, y, x + wa.width, y + wa.height};
}
