// The pop-up menu on X11: an override-redirect window drawn with the layer's own canvas, the
// pointer grabbed so that a click outside dismisses it, the item under the pointer highlighted.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <poll.h>

#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/stopsignal.h"
#include "COMMON/BM_OS/waittick.h"
#include "COMMON/BM_UI/canvasinternal.h"
#include "COMMON/BM_UI/menulayout.h"
#include "COMMON/BM_UI/x11/x11backend.h"

namespace {
constexpr int kGrabAttempts = 50;
constexpr uint32_t kGrabRetryMs = 10;
constexpr int kPollMs = 50;

int32_t ItemAt(const std::vector<MenuLayoutItem>& layout, int32_t x, int32_t y, int32_t width) {
    if (x < 0 || x >= width) {
        return -1;
    }
    for (size_t i = 0; i < layout.size(); ++i) {
        if (y >= layout[i].rect.top && y < layout[i].rect.bottom) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}
}  // namespace

uintptr_t X11Backend::TrackMenu(const std::vector<BmMenuItem>& items, int32_t x, int32_t y, UINT flags,
                                uint32_t timeout) {
    int32_t width = 0, height = 0;
    const std::vector<MenuLayoutItem> layout = LayoutMenu(items, &width, &height);
    const POINT at = PlaceMenu(x, y, flags, width, height, ScreenRect());

    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixmap = None;
    a.cursor = arrow_;
    a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask;
    const Window mw =
        XCreateWindow(display_, root_, at.x, at.y, static_cast<unsigned>(width),
                      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                      CWOverrideRedirect | CWBackPixmap | CWCursor | CWEventMask, &a);
    XMapRaised(display_, mw);
    XFlush(display_);

    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
    SelectObject(dc, bitmap);
    int32_t highlight = -1;
    auto redraw = [&] {
        DrawMenu(dc, items, layout, width, height, highlight);
        PresentSurface(mw, CanvasSurface(dc), width, height);
    };

    // The tap that opened the menu may still hold an implicit grab of our own; retry briefly.
    bool grabbed = false;
    for (int i = 0; i < kGrabAttempts && !grabbed; ++i) {
        grabbed = XGrabPointer(display_, mw, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                               GrabModeAsync, GrabModeAsync, None, arrow_, CurrentTime) == GrabSuccess;
        if (!grabbed) {
            Sleep(kGrabRetryMs);
        }
    }
    XGrabKeyboard(display_, mw, False, GrabModeAsync, GrabModeAsync, CurrentTime);

    const uint32_t start = GetTickCount();
    uintptr_t chosen = 0;
    bool pressedInside = false;
    bool movedInside = false;
    bool running = true;
    while (running) {
        WaitTick();  // a person reading or choosing is no hang
        if (XPending(display_) == 0) {
            if ((timeout && ElapsedSince(start) > timeout) || StopRequested()) {
                break;  // dismissed, as by a click outside: SIGTERM must not wait for a person
            }
            pollfd p{ConnectionNumber(display_), POLLIN, 0};
            poll(&p, 1, kPollMs);
            continue;
        }
        XEvent ev;
        XNextEvent(display_, &ev);
        const bool pointer = ev.type == ButtonPress || ev.type == ButtonRelease || ev.type == MotionNotify;
        if (ev.xany.window != mw && !pointer) {
            HandleEventInModalLoop(ev);  // keeps the window behind the menu drawn
            continue;
        }
        switch (ev.type) {
            case Expose:
                redraw();
                break;
            case MotionNotify: {
                const int32_t i = ItemAt(layout, ev.xmotion.x_root - at.x, ev.xmotion.y_root - at.y, width);
                const int32_t lit = i >= 0 && layout[i].selectable ? i : -1;
                movedInside = movedInside || i >= 0;
                if (lit != highlight) {
                    highlight = lit;
                    redraw();
                }
                break;
            }
            case ButtonPress: {
                const int32_t px = ev.xbutton.x_root - at.x, py = ev.xbutton.y_root - at.y;
                if (px < 0 || py < 0 || px >= width || py >= height) {
                    running = false;  // a click outside dismisses the menu
                    break;
                }
                pressedInside = true;
                const int32_t i = ItemAt(layout, px, py, width);
                highlight = i >= 0 && layout[i].selectable ? i : -1;
                redraw();
                break;
            }
            case ButtonRelease: {
                const int32_t i = ItemAt(layout, ev.xbutton.x_root - at.x, ev.xbutton.y_root - at.y, width);
                // The release of the opening tap chooses nothing.
                if ((pressedInside || movedInside) && i >= 0 && layout[i].selectable) {
                    chosen = items[static_cast<size_t>(i)].id;
                    running = false;
                }
                break;
            }
            case KeyPress:
                if (XLookupKeysym(&ev.xkey, 0) == XK_Escape) {
                    running = false;
                }
                break;
            default:
                break;
        }
    }
    XUngrabPointer(display_, CurrentTime);
    XUngrabKeyboard(display_, CurrentTime);
    XDestroyWindow(display_, mw);
    XFlush(display_);
    DeleteDC(dc);
    DeleteObject(bitmap);
    return chosen;
}
