#include "COMMON/BM_UI/x11/x11backend.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <cairo-xlib.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "COMMON/BM_UI/uitext.h"

namespace {
constexpr long kWindowEvents =
    ExposureMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask | KeyPressMask;

// A failed request (a window that went away, a focus on an unmapped window) is not fatal here.
int IgnoreXError(Display*, XErrorEvent*) {
    return 0;
}

// X11 only carries Latin-1 in WM_NAME; the UTF-8 title goes into _NET_WM_NAME.
std::string Latin1Title(const std::u16string& title) {
    std::string out;
    for (char16_t c : title) {
        out.push_back(c < 0x100 ? static_cast<char>(c) : '?');
    }
    return out;
}

int16_t Clamp16(int v) {
    return static_cast<int16_t>(std::clamp(v, -32768, 32767));
}
}  // namespace

std::unique_ptr<UiBackend> MakeX11Backend(std::string* whyNot) {
    return X11Backend::Open(whyNot);
}

std::unique_ptr<X11Backend> X11Backend::Open(std::string* whyNot) {
    const char* name = std::getenv("DISPLAY");
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        *whyNot = std::string("cannot open display \"") + (name ? name : "") + "\"";
        return nullptr;
    }
    fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);
    return std::unique_ptr<X11Backend>(new X11Backend(display));
}

X11Backend::X11Backend(Display* display)
    : display_(display),
      screen_(DefaultScreen(display)),
      root_(RootWindow(display, screen_)),
      visual_(DefaultVisual(display, screen_)) {
    XSetErrorHandler(IgnoreXError);
    wmProtocols_ = XInternAtom(display_, "WM_PROTOCOLS", False);
    wmDelete_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
    netWmName_ = XInternAtom(display_, "_NET_WM_NAME", False);
    utf8String_ = XInternAtom(display_, "UTF8_STRING", False);
    netWorkarea_ = XInternAtom(display_, "_NET_WORKAREA", False);
    netCurrentDesktop_ = XInternAtom(display_, "_NET_CURRENT_DESKTOP", False);
    netWmState_ = XInternAtom(display_, "_NET_WM_STATE", False);
    netWmStateFullScreen_ = XInternAtom(display_, "_NET_WM_STATE_FULLSCREEN", False);
    netWmStateAbove_ = XInternAtom(display_, "_NET_WM_STATE_ABOVE", False);
    netWmWindowType_ = XInternAtom(display_, "_NET_WM_WINDOW_TYPE", False);
    netWmWindowTypeDialog_ = XInternAtom(display_, "_NET_WM_WINDOW_TYPE_DIALOG", False);
    trayOpcode_ = XInternAtom(display_, "_NET_SYSTEM_TRAY_OPCODE", False);
    const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(screen_);
    traySelection_ = XInternAtom(display_, selection.c_str(), False);
    xembedInfo_ = XInternAtom(display_, "_XEMBED_INFO", False);
    manager_ = XInternAtom(display_, "MANAGER", False);
    arrow_ = XCreateFontCursor(display_, XC_left_ptr);
    watch_ = XCreateFontCursor(display_, XC_watch);
    // A tray manager that starts later announces itself on the root window.
    XSelectInput(display_, root_, StructureNotifyMask);
}

X11Backend::~X11Backend() {
    if (trayWindow_) {
        XDestroyWindow(display_, trayWindow_);
    }
    if (trayIcon_) {
        cairo_surface_destroy(trayIcon_);
    }
    for (auto& [xid, shown] : windows_) {
        XDestroyWindow(display_, xid);
        if (shown.image) {
            cairo_surface_destroy(shown.image);
        }
    }
    XFreeCursor(display_, arrow_);
    XFreeCursor(display_, watch_);
    XCloseDisplay(display_);
}

RECT X11Backend::ScreenRect() {
    return RECT{0, 0, DisplayWidth(display_, screen_), DisplayHeight(display_, screen_)};
}

RECT X11Backend::WorkArea() {
    const RECT screen = ScreenRect();
    long desktop = 0;
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, root_, netCurrentDesktop_, 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) == Success &&
        data) {
        if (format == 32 && count == 1) {
            desktop = reinterpret_cast<long*>(data)[0];
        }
        XFree(data);
        data = nullptr;
    }
    RECT area = screen;
    if (desktop >= 0 && desktop < 64 &&
        XGetWindowProperty(display_, root_, netWorkarea_, 0, 4 * 64, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) == Success &&
        data) {
        // The property comes from another client: use it only when it describes a part of the screen.
        if (format == 32 && count >= 4 * static_cast<unsigned long>(desktop + 1)) {
            const long* v = reinterpret_cast<long*>(data) + 4 * desktop;
            if (v[0] >= 0 && v[1] >= 0 && v[2] > 0 && v[3] > 0 && v[0] + v[2] <= screen.right &&
                v[1] + v[3] <= screen.bottom) {
                area = RECT{static_cast<int32_t>(v[0]), static_cast<int32_t>(v[1]),
                            static_cast<int32_t>(v[0] + v[2]), static_cast<int32_t>(v[1] + v[3])};
            }
        }
        XFree(data);
    }
    return area;
}

bool X11Backend::CreateNative(HWND hwnd, const RECT& rect, const std::u16string& className,
                              const std::u16string& title, uintptr_t* native) {
    XSetWindowAttributes a{};
    a.background_pixmap = None;  // the backing image repaints everything; no server-side clearing
    a.bit_gravity = NorthWestGravity;
    a.event_mask = kWindowEvents;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const Window xid = XCreateWindow(display_, root_, rect.left, rect.top, static_cast<unsigned>(width),
                                     static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                                     CopyFromParent, CWBackPixmap | CWBitGravity | CWEventMask, &a);
    if (!xid) {
        return false;
    }
    XSetWMProtocols(display_, xid, &wmDelete_, 1);
    XSizeHints* hints = XAllocSizeHints();
    hints->flags = USPosition | USSize | PPosition | PSize;
    hints->x = rect.left;
    hints->y = rect.top;
    hints->width = width;
    hints->height = height;
    XSetWMNormalHints(display_, xid, hints);
    XFree(hints);
    std::string resClass = Utf16ToUtf8(className);
    char resName[] = "quillon";
    XClassHint classHint{resName, resClass.data()};
    XSetClassHint(display_, xid, &classHint);
    XDefineCursor(display_, xid, shape_ == UiCursorShape::Wait ? watch_ : arrow_);
    *native = xid;
    windows_[xid] = Shown{hwnd, nullptr};
    SetTitle(xid, title);
    return true;
}

void X11Backend::DestroyNative(uintptr_t native) {
    if (!native) {
        return;
    }
    const Window xid = static_cast<Window>(native);
    if (Shown* shown = WindowFor(xid); shown && shown->image) {
        cairo_surface_destroy(shown->image);
    }
    windows_.erase(xid);
    XDestroyWindow(display_, xid);
    XFlush(display_);
}

void X11Backend::SetVisible(uintptr_t native, bool visible) {
    const Window xid = static_cast<Window>(native);
    Shown* shown = WindowFor(xid);
    if (visible) {
        // A window manager drops the state of a window that is unmapped: ask again each time.
        if (shown && shown->fullScreen) {
            WriteWmState(xid, {netWmStateFullScreen_, netWmStateAbove_});
        }
        XMapRaised(display_, xid);
    } else {
        XUnmapWindow(display_, xid);
    }
    if (shown) {
        shown->mapped = visible;
    }
    XFlush(display_);
}

void X11Backend::WriteWmState(Window xid, const std::vector<Atom>& states) {
    XChangeProperty(display_, xid, netWmState_, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(states.data()), static_cast<int>(states.size()));
}

void X11Backend::SetFullScreen(uintptr_t native) {
    const Window xid = static_cast<Window>(native);
    Shown* shown = WindowFor(xid);
    if (!shown) {
        return;
    }
    shown->fullScreen = true;
    if (!shown->mapped) {
        WriteWmState(xid, {netWmStateFullScreen_, netWmStateAbove_});
        XFlush(display_);
        return;
    }
    // A mapped window asks the window manager through the root window.
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = xid;
    ev.xclient.message_type = netWmState_;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 1;  // _NET_WM_STATE_ADD
    ev.xclient.data.l[1] = static_cast<long>(netWmStateFullScreen_);
    ev.xclient.data.l[2] = static_cast<long>(netWmStateAbove_);
    ev.xclient.data.l[3] = 1;  // from a normal application
    XSendEvent(display_, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XFlush(display_);
}

void X11Backend::SetTitle(uintptr_t native, const std::u16string& title) {
    WriteTitle(static_cast<Window>(native), title);
    XFlush(display_);
}

void X11Backend::WriteTitle(Window xid, const std::u16string& title) {
    const std::string latin1 = Latin1Title(title);
    XStoreName(display_, xid, latin1.c_str());
    const std::string utf8 = Utf16ToUtf8(title);
    XChangeProperty(display_, xid, netWmName_, utf8String_, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
}

void X11Backend::HandleEventInModalLoop(XEvent& event) {
    if (event.type == Expose) {
        if (const Shown* shown = WindowFor(event.xany.window); shown && shown->image) {
            PresentSurface(event.xany.window, shown->image, cairo_image_surface_get_width(shown->image),
                           cairo_image_surface_get_height(shown->image));
        }
    }
    HandleEvent(event);
}

void X11Backend::PresentSurface(Window target, cairo_surface_t* source, int32_t width, int32_t height) {
    if (!source) {
        return;
    }
    cairo_surface_t* xs = cairo_xlib_surface_create(display_, target, visual_, width, height);
    cairo_t* cr = cairo_create(xs);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr, source, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_flush(xs);
    cairo_surface_destroy(xs);
    XFlush(display_);
}

void X11Backend::Present(uintptr_t native, cairo_surface_t* image) {
    if (!native || !image) {
        return;
    }
    if (Shown* shown = WindowFor(static_cast<Window>(native)); shown && shown->image != image) {
        if (shown->image) {
            cairo_surface_destroy(shown->image);
        }
        shown->image = cairo_surface_reference(image);
    }
    PresentSurface(static_cast<Window>(native), image, cairo_image_surface_get_width(image),
                   cairo_image_surface_get_height(image));
}

void X11Backend::Raise(uintptr_t native, bool visible) {
    XRaiseWindow(display_, static_cast<Window>(native));
    if (visible) {
        XSetInputFocus(display_, static_cast<Window>(native), RevertToParent, CurrentTime);
    }
    XFlush(display_);
}

X11Backend::Shown* X11Backend::WindowFor(Window xid) {
    auto it = windows_.find(xid);
    return it == windows_.end() ? nullptr : &it->second;
}

void X11Backend::Pump() {
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        HandleEvent(event);
    }
}

int X11Backend::PrepareWait() {
    // Flushes, and reads what already arrived: an event in Xlib's queue never wakes a poll.
    return XEventsQueued(display_, QueuedAfterFlush) > 0 ? kEventsQueued : ConnectionNumber(display_);
}

void X11Backend::HandleEvent(XEvent& event) {
    if (HandleTrayEvent(event)) {
        return;
    }
    const Shown* shown = WindowFor(event.xany.window);
    if (!shown) {
        return;
    }
    HWND w = shown->hwnd;
    switch (event.type) {
        case Expose:
            InvalidateRect(w, nullptr, TRUE);
            break;
        case ButtonPress:
        case ButtonRelease:
            if (event.xbutton.button == Button1) {
                const bool down = event.type == ButtonPress;
                PostMessageW(w, down ? WM_LBUTTONDOWN : WM_LBUTTONUP, down ? MK_LBUTTON : 0,
                             MAKELPARAM(Clamp16(event.xbutton.x), Clamp16(event.xbutton.y)));
            }
            break;
        case ClientMessage:
            if (event.xclient.message_type == wmProtocols_ && event.xclient.format == 32 &&
                static_cast<Atom>(event.xclient.data.l[0]) == wmDelete_) {
                // Sent, not posted, as Win32 does: the supervisor loop ends on a queued
                // WM_CLOSE, and the close box must only reach the window procedure (which hides).
                SendMessageW(w, WM_CLOSE, 0, 0);
            }
            break;
        case ConfigureNotify: {
            int x = 0, y = 0;
            Window child = 0;
            XTranslateCoordinates(display_, event.xconfigure.window, root_, 0, 0, &x, &y, &child);
            MoveWindowFromBackend(w, RECT{x, y, x + event.xconfigure.width, y + event.xconfigure.height});
            break;
        }
        default:
            break;
    }
}

void X11Backend::SetUiCursorShape(UiCursorShape shape) {
    shape_ = shape;
    for (auto& [xid, shown] : windows_) {
        XDefineCursor(display_, xid, shape == UiCursorShape::Wait ? watch_ : arrow_);
    }
    XFlush(display_);
}

bool X11Backend::QueryCursorPos(POINT* point) {
    Window rootReturn = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display_, root_, &rootReturn, &child, &rx, &ry, &wx, &wy, &mask)) {
        return false;
    }
    *point = POINT{rx, ry};
    return true;
}
