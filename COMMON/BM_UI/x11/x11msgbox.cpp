// The message box on X11: a small dialog window the window manager decorates with the caption,
// the text and an OK button drawn with the layer's canvas. It waits, as Win32's does, until a
// person presses OK (a tap, Enter, Space or Escape) or closes it, or the program is asked to
// stop; meanwhile our other windows are kept drawn and take no taps, as a disabled owner would.
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include "COMMON/BM_OS/stopsignal.h"
#include "COMMON/BM_OS/waittick.h"
#include "COMMON/BM_UI/canvasinternal.h"
#include "COMMON/BM_UI/msgboxlayout.h"
#include "COMMON/BM_UI/x11/x11backend.h"

namespace {
constexpr int kPollMs = 50;

bool Inside(const RECT& r, int x, int y) {
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

bool IsDismissKey(KeySym key) {
    return key == XK_Return || key == XK_KP_Enter || key == XK_space || key == XK_Escape;
}
}  // namespace

void X11Backend::RunMessageBox(uintptr_t owner, const std::u16string& caption, const std::u16string& text) {
    const RECT screen = ScreenRect();
    const MessageBoxLayout layout = LayoutMessageBox(text, screen);
    const int x = (screen.right - layout.width) / 2;
    const int y = (screen.bottom - layout.height) / 2;

    XSetWindowAttributes a{};
    a.background_pixmap = None;
    a.cursor = arrow_;
    a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | KeyPressMask | StructureNotifyMask;
    const Window box = XCreateWindow(display_, root_, x, y, static_cast<unsigned>(layout.width),
                                     static_cast<unsigned>(layout.height), 0, CopyFromParent, InputOutput,
                                     CopyFromParent, CWBackPixmap | CWCursor | CWEventMask, &a);
    if (!box) {
        return;
    }
    XSetWMProtocols(display_, box, &wmDelete_, 1);
    XSizeHints* hints = XAllocSizeHints();
    hints->flags = USPosition | PPosition | PMinSize | PMaxSize;
    hints->x = x;
    hints->y = y;
    hints->min_width = hints->max_width = layout.width;
    hints->min_height = hints->max_height = layout.height;
    XSetWMNormalHints(display_, box, hints);
    XFree(hints);
    char resName[] = "quillon";
    char resClass[] = "MessageBox";
    XClassHint classHint{resName, resClass};
    XSetClassHint(display_, box, &classHint);
    if (owner) {
        XSetTransientForHint(display_, box, static_cast<Window>(owner));
    }
    XChangeProperty(display_, box, netWmWindowType_, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&netWmWindowTypeDialog_), 1);
    WriteWmState(box, {netWmStateAbove_});  // in front of a kiosk window too
    WriteTitle(box, caption);
    XMapRaised(display_, box);
    XFlush(display_);

    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, layout.width, layout.height);
    SelectObject(dc, bitmap);
    bool pressed = false;
    auto redraw = [&] {
        DrawMessageBox(dc, layout, pressed);
        PresentSurface(box, CanvasSurface(dc), layout.width, layout.height);
    };

    bool running = true;
    bool destroyed = false;
    while (running) {
        WaitTick();  // a person reading or choosing is no hang
        if (XPending(display_) == 0) {
            if (StopRequested()) {
                break;  // SIGTERM ends this wait as it ends every other
            }
            pollfd p{ConnectionNumber(display_), POLLIN, 0};
            poll(&p, 1, kPollMs);
            continue;
        }
        XEvent ev;
        XNextEvent(display_, &ev);
        if (ev.xany.window != box) {
            const bool pointer =
                ev.type == ButtonPress || ev.type == ButtonRelease || ev.type == MotionNotify;
            if (!pointer) {
                HandleEventInModalLoop(ev);
            }
            continue;
        }
        switch (ev.type) {
            case Expose:
                redraw();
                break;
            case MapNotify:
                XSetInputFocus(display_, box, RevertToParent, CurrentTime);  // for Enter
                break;
            case ButtonPress:
                if (ev.xbutton.button == Button1 && Inside(layout.button, ev.xbutton.x, ev.xbutton.y)) {
                    pressed = true;
                    redraw();
                }
                break;
            case ButtonRelease:
                if (ev.xbutton.button == Button1 && pressed) {
                    running = !Inside(layout.button, ev.xbutton.x, ev.xbutton.y);
                    pressed = false;
                    redraw();
                }
                break;
            case KeyPress:
                running = !IsDismissKey(XLookupKeysym(&ev.xkey, 0));
                break;
            case ClientMessage:
                running = !(ev.xclient.message_type == wmProtocols_ && ev.xclient.format == 32 &&
                            static_cast<Atom>(ev.xclient.data.l[0]) == wmDelete_);
                break;
            case DestroyNotify:
                running = false;
                destroyed = true;
                break;
            default:
                break;
        }
    }
    if (!destroyed) {
        XDestroyWindow(display_, box);
    }
    XFlush(display_);
    DeleteDC(dc);
    DeleteObject(bitmap);
}
