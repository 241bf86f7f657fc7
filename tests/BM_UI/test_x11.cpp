// The X11 backend against a private Xvfb server: mapping, taps, the close box, the menu window
// and the tray icon in a real tray manager. Screenshots land in <build>/artifacts/.
#include <cairo.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/stopsignal.h"
#include "COMMON/BM_UI/menulayout.h"
#include "COMMON/BM_UI/uistate.h"
#include "QUILLON/icons.h"
#include "tests/BM_UI/uitestsupport.h"

// Xlib's macros (None, Bool, Status) clash with GoogleTest's names: Xlib comes last.
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
// clang-format on

extern char** environ;

namespace {
constexpr char16_t kClass[] = u"CX11Test";
constexpr char16_t kTitle[] = u"X11 Test Window";
constexpr uint32_t kWaitMs = 4000;

pid_t gXvfb = -1;
std::string gDisplayName;
std::string gSkipReason;

std::string FindProgram(const char* name) {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        const std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return {};
}

// Starts a helper server; it gets SIGTERM if this test process dies, so none is left behind even
// when a test crashes.
pid_t Spawn(const std::vector<std::string>& args, int displayFd = -1) {
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        if (displayFd >= 0) {
            dup2(displayFd, 3);
        }
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    return pid;
}

void Stop(pid_t& pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
            usleep(10000);
        }
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        pid = -1;
    }
}

// Starts Xvfb on a display it picks itself (-displayfd), so parallel runs never collide. Once per
// process, by the suite: the folder's other tests share the executable and need no server.
void StartXvfb() {
    XInitThreads();
    const std::string xvfb = FindProgram("Xvfb");
    if (xvfb.empty()) {
        gSkipReason = "Xvfb is not installed";
        return;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        gSkipReason = "no pipe";
        return;
    }
    gXvfb = Spawn({xvfb, "-displayfd", "3", "-screen", "0", "800x480x24", "-nolisten", "tcp"}, fds[1]);
    close(fds[1]);
    char buffer[16] = {};
    size_t got = 0;
    pollfd p{fds[0], POLLIN, 0};
    while (got < sizeof buffer - 1 && poll(&p, 1, 5000) > 0) {
        const ssize_t n = read(fds[0], buffer + got, sizeof buffer - 1 - got);
        if (n <= 0 || std::memchr(buffer, '\n', got + static_cast<size_t>(n))) {
            got += n > 0 ? static_cast<size_t>(n) : 0;
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fds[0]);
    const int number = std::atoi(buffer);
    if (gXvfb < 0 || got == 0) {
        gSkipReason = "Xvfb did not start";
        Stop(gXvfb);
        return;
    }
    gDisplayName = ":" + std::to_string(number);
}

std::string ArtifactPath(const char* name) {
    const std::string dir = std::string(QUILLON_BINARY_DIR) + "/artifacts";
    std::filesystem::create_directories(dir);
    return dir + "/" + name;
}

// Reads the whole screen through `display` into a PNG; returns the pixel at (px, py) too.
COLORREF SaveScreen(Display* display, const std::string& path, int px = 0, int py = 0) {
    const Window root = DefaultRootWindow(display);
    XWindowAttributes wa{};
    XGetWindowAttributes(display, root, &wa);
    XImage* image = XGetImage(display, root, 0, 0, static_cast<unsigned>(wa.width),
                              static_cast<unsigned>(wa.height), AllPlanes, ZPixmap);
    if (!image) {
        return 0xFFFFFFFF;
    }
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, wa.width, wa.height);
    unsigned char* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    COLORREF at = 0;
    for (int y = 0; y < wa.height; ++y) {
        for (int x = 0; x < wa.width; ++x) {
            const unsigned long p = XGetPixel(image, x, y);
            const uint32_t r = static_cast<uint32_t>((p & image->red_mask) >> 16) & 0xFF;
            const uint32_t g = static_cast<uint32_t>((p & image->green_mask) >> 8) & 0xFF;
            const uint32_t b = static_cast<uint32_t>(p & image->blue_mask) & 0xFF;
            const uint32_t q = (r << 16) | (g << 8) | b;
            std::memcpy(data + y * stride + x * 4, &q, 4);
            if (x == px && y == py) {
                at = RGB(static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b));
            }
        }
    }
    cairo_surface_mark_dirty(s);
    cairo_surface_write_to_png(s, path.c_str());
    cairo_surface_destroy(s);
    XDestroyImage(image);
    return at;
}

void Click(Display* display, int x, int y) {
    XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XFlush(display);
}

LRESULT PaintingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        ReceivedMessages().push_back(Received{hwnd, message, wParam, lParam});
        PAINTSTRUCT ps{};
        HDC hdc = BeginPaint(hwnd, &ps);
        RECT all{0, 0, 800, 480};
        FillRect(hdc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        RECT strip{0, 0, 800, 38};
        FillRect(hdc, &strip, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
        SetBkMode(hdc, TRANSPARENT);
        SetTextColor(hdc, RGB(255, 255, 0));
        static const char16_t kLabel[] = u"Local Adapter";
        ExtTextOutW(hdc, 5, 0, 0, nullptr, kLabel, 13, nullptr);
        SetTextColor(hdc, RGB(100, 255, 100));
        static const char16_t kLine[] = u"Quillon Startup";
        ExtTextOutW(hdc, 5, 480 - 19, 0, nullptr, kLine, 15, nullptr);
        EndPaint(hwnd, &ps);
        return 0;
    }
    return RecordingProc(hwnd, message, wParam, lParam);
}

class X11Test : public UiTest {
protected:
    static void SetUpTestSuite() { StartXvfb(); }
    static void TearDownTestSuite() { Stop(gXvfb); }
    void SetUp() override {
        if (!gSkipReason.empty()) {
            if (std::getenv("CI")) {
                FAIL() << gSkipReason << " (required in CI)";
            }
            GTEST_SKIP() << gSkipReason;
        }
        setenv("DISPLAY", gDisplayName.c_str(), 1);
        setenv("QUILLON_UI", "x11", 1);
        DropBackendForTests();
        UiTest::SetUp();
        ASSERT_EQ(UiBackendName(), "x11");
        probe_ = XOpenDisplay(gDisplayName.c_str());
        ASSERT_NE(probe_, nullptr);
    }
    void TearDown() override {
        if (probe_) {
            XCloseDisplay(probe_);
        }
        Stop(trayer_);
        Stop(windowManager_);
        UiTest::TearDown();
        DropBackendForTests();
        unsetenv("QUILLON_UI");
    }

    HWND MakePaintedWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = PaintingProc;
        wc.lpszClassName = kClass;
        RegisterClassW(&wc);
        RECT work{};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        return CreateWindowExW(0, kClass, kTitle, WS_POPUP | WS_VISIBLE | WS_CAPTION, work.left, work.top,
                               GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr,
                               nullptr, nullptr);
    }

    // A menu of one "Exit" entry that gives up after the usual wait.
    static HMENU ExitMenu() {
        HMENU menu = CreatePopupMenu();
        AppendMenuW(menu, MF_STRING, 1130, u"Exit");
        SetMenuTrackTimeout(kWaitMs);
        return menu;
    }

    // Pumps and dispatches until `done` holds or the wait runs out.
    bool PumpUntil(const std::function<bool()>& done, uint32_t ms = kWaitMs) {
        const uint32_t start = GetTickCount();
        while (ElapsedSince(start) < ms) {
            MSG msg{};
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                queuedClose_ = queuedClose_ || msg.message == WM_CLOSE;
                DispatchMessageW(&msg);
            }
            if (done()) {
                return true;
            }
            usleep(5000);
        }
        return done();
    }

    static bool Saw(UINT message, LPARAM lParam = -1) {
        for (const auto& r : ReceivedMessages()) {
            if (r.message == message && (lParam == -1 || r.lParam == lParam)) {
                return true;
            }
        }
        return false;
    }

    Window NativeOf(HWND hwnd) { return static_cast<Window>(LocalWindow(hwnd)->native); }

    // The 32-bit items of property `name` on `xid` (empty when it is not there).
    std::vector<long> Property(Window xid, const char* name) {
        std::vector<long> items;
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(probe_, xid, XInternAtom(probe_, name, False), 0, 64, False, AnyPropertyType,
                               &type, &format, &count, &after, &data) == Success &&
            data) {
            if (format == 32) {
                items.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + count);
            }
            XFree(data);
        }
        return items;
    }
    bool HasState(Window xid, const char* state) {
        const auto states = Property(xid, "_NET_WM_STATE");
        return std::find(states.begin(), states.end(),
                         static_cast<long>(XInternAtom(probe_, state, False))) != states.end();
    }
    // The window's place on the screen, frame left out.
    RECT ScreenRectOf(Window xid) {
        XWindowAttributes wa{};
        int x = 0, y = 0;
        Window child = 0;
        if (!XGetWindowAttributes(probe_, xid, &wa) ||
            !XTranslateCoordinates(probe_, xid, DefaultRootWindow(probe_), 0, 0, &x, &y, &child)) {
            return RECT{};
        }
        return RECT{x, y, x + wa.width, y + wa.height};
    }

    // Starts openbox and waits until it manages the screen; false (and the reason) when missing.
    bool StartWindowManager(std::string* whyNot) {
        const std::string openbox = FindProgram("openbox");
        if (openbox.empty()) {
            *whyNot = "openbox is not installed";
            return false;
        }
        windowManager_ = Spawn({openbox, "--sm-disable"});
        // It manages the screen once it frames a window of its own accord.
        const Window probe = XCreateSimpleWindow(probe_, DefaultRootWindow(probe_), 0, 0, 10, 10, 0, 0, 0);
        XMapWindow(probe_, probe);
        XSync(probe_, False);
        const uint32_t start = GetTickCount();
        while (Property(probe, "WM_STATE").empty()) {
            if (ElapsedSince(start) > kWaitMs) {
                *whyNot = "openbox did not start";
                return false;
            }
            usleep(20000);
        }
        XDestroyWindow(probe_, probe);
        XSync(probe_, False);
        return true;
    }

    Display* probe_ = nullptr;
    pid_t trayer_ = -1;
    pid_t windowManager_ = -1;
    bool queuedClose_ = false;
};

// The first viewable override-redirect child of the root (our menu), waiting up to `ms`.
bool FindMenuWindow(Display* display, XWindowAttributes* out, uint32_t ms) {
    const uint32_t start = GetTickCount();
    while (ElapsedSince(start) < ms) {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
            bool found = false;
            for (unsigned i = 0; i < count && !found; ++i) {
                XWindowAttributes wa{};
                if (XGetWindowAttributes(display, children[i], &wa) && wa.override_redirect &&
                    wa.map_state == IsViewable) {
                    *out = wa;
                    found = true;
                }
            }
            if (children) {
                XFree(children);
            }
            if (found) {
                return true;
            }
        }
        usleep(10000);
    }
    return false;
}
}  // namespace

TEST_F(X11Test, WindowMapsFullScreenPaintsAndReceivesTaps) {
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 800);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 480);
    HWND hwnd = MakePaintedWindow();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(PumpUntil([] { return Saw(WM_PAINT); })) << "exposure must invalidate";
    XWindowAttributes wa{};
    ASSERT_TRUE(XGetWindowAttributes(probe_, NativeOf(hwnd), &wa));
    EXPECT_EQ(wa.map_state, IsViewable);
    EXPECT_EQ(wa.width, 800);
    EXPECT_EQ(wa.height, 480);
    XSync(probe_, False);
    EXPECT_EQ(SaveScreen(probe_, ArtifactPath("x11-window.png"), 400, 30), RGB(128, 128, 128));

    Click(probe_, 200, 300);
    ASSERT_TRUE(PumpUntil([] { return Saw(WM_LBUTTONUP); }));
    EXPECT_TRUE(Saw(WM_LBUTTONDOWN, MAKELPARAM(200, 300)));
    POINT p{};
    GetCursorPos(&p);
    EXPECT_EQ(p.x, 200);
    EXPECT_EQ(p.y, 300);
}

TEST_F(X11Test, KioskWindowTakesTheWholeScreenWithoutAFrameUnderAWindowManager) {
    std::string whyNot;
    if (!StartWindowManager(&whyNot)) {
        if (std::getenv("CI")) {
            FAIL() << whyNot << " (required in CI)";
        }
        GTEST_SKIP() << whyNot;
    }
    auto isScreen = [](const RECT& r) {
        return r.left == 0 && r.top == 0 && r.right == 800 && r.bottom == 480;
    };
    HWND kiosk = MakePaintedWindow();  // over the work area: asks before it is mapped
    ASSERT_NE(kiosk, nullptr);
    const Window xid = NativeOf(kiosk);
    ASSERT_TRUE(PumpUntil([&] { return !Property(xid, "_NET_FRAME_EXTENTS").empty() && Saw(WM_PAINT); }));
    PumpUntil([] { return false; }, 300);  // the manager's last configure, then the repaint
    EXPECT_TRUE(HasState(xid, "_NET_WM_STATE_FULLSCREEN"));
    EXPECT_TRUE(HasState(xid, "_NET_WM_STATE_ABOVE")) << "over any panel";
    EXPECT_EQ(Property(xid, "_NET_FRAME_EXTENTS"), (std::vector<long>{0, 0, 0, 0}))
        << "no caption, no border";
    EXPECT_TRUE(isScreen(ScreenRectOf(xid)));
    RECT layer{};
    GetWindowRect(kiosk, &layer);
    EXPECT_TRUE(isScreen(layer)) << "the layer follows the manager's geometry";
    XSync(probe_, False);
    EXPECT_EQ(SaveScreen(probe_, ArtifactPath("x11-kiosk.png"), 400, 1), RGB(128, 128, 128))
        << "the panel strip, not a caption, at the top";

    // Hidden while the tablet application runs, then shown again: still the whole screen.
    ShowWindow(kiosk, SW_HIDE);
    ASSERT_TRUE(PumpUntil([&] {
        const auto state = Property(xid, "WM_STATE");
        return state.empty() || state[0] == 0;  // withdrawn
    }));
    ShowWindow(kiosk, SW_SHOW);
    EXPECT_TRUE(PumpUntil([&] {
        return HasState(xid, "_NET_WM_STATE_FULLSCREEN") && isScreen(ScreenRectOf(xid)) &&
               Property(xid, "_NET_FRAME_EXTENTS") == std::vector<long>{0, 0, 0, 0};
    }));

    // A window the manager has already framed asks through the root window.
    HWND small = CreateWindowExW(0, kClass, u"small", WS_POPUP | WS_VISIBLE, 100, 100, 200, 100, nullptr,
                                 nullptr, nullptr, nullptr);
    ASSERT_NE(small, nullptr);
    const Window smallXid = NativeOf(small);
    ASSERT_TRUE(PumpUntil([&] { return !Property(smallXid, "_NET_FRAME_EXTENTS").empty(); }));
    EXPECT_FALSE(HasState(smallXid, "_NET_WM_STATE_FULLSCREEN")) << "only a window over the work area";
    Backend().SetFullScreen(LocalWindow(small)->native);
    EXPECT_TRUE(PumpUntil([&] { return isScreen(ScreenRectOf(smallXid)); }));
    EXPECT_TRUE(HasState(smallXid, "_NET_WM_STATE_FULLSCREEN"));
}

TEST_F(X11Test, AMessageBoxAndAMenuEndOnAStopRequest) {
    HWND hwnd = MakePaintedWindow();
    ASSERT_NE(hwnd, nullptr);
    HMENU menu = ExitMenu();
    RequestStop();  // as SIGTERM does: neither wait may hold the program's end
    uint32_t start = GetTickCount();
    EXPECT_EQ(MessageBoxW(nullptr, u"text", u"caption", MB_OK), IDOK);
    EXPECT_LT(ElapsedSince(start), 1000u);
    start = GetTickCount();
    EXPECT_FALSE(TrackPopupMenu(menu, TPM_RIGHTALIGN, 300, 100, 0, hwnd, nullptr)) << "nothing chosen";
    EXPECT_LT(ElapsedSince(start), 1000u);
    ClearStopRequest();
    DestroyMenu(menu);
}

TEST_F(X11Test, CloseBoxArrivesAsWmClose) {
    HWND hwnd = MakePaintedWindow();
    ASSERT_NE(hwnd, nullptr);
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = NativeOf(hwnd);
    ev.xclient.message_type = XInternAtom(probe_, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(probe_, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(probe_, NativeOf(hwnd), False, NoEventMask, &ev);
    XFlush(probe_);
    ASSERT_TRUE(PumpUntil([] { return Saw(WM_CLOSE); }));
    EXPECT_TRUE(IsWindow(hwnd)) << "the procedure decides what the close box does";
    EXPECT_FALSE(queuedClose_) << "a queued WM_CLOSE would end the launcher's loop";
}

TEST_F(X11Test, MenuOpensRightAlignedAndAClickOnAnItemPostsItsCommand) {
    HWND hwnd = MakePaintedWindow();
    ASSERT_NE(hwnd, nullptr);
    PumpUntil([] { return Saw(WM_PAINT); });
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 1125, u"Cleanup Desktop");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | MF_CHECKED, 1129, u"Monitor Mode");
    AppendMenuW(menu, MF_STRING, 1130, u"Exit");
    SetMenuTrackTimeout(kWaitMs);

    std::atomic<bool> found{false};
    XWindowAttributes seen{};
    std::thread clicker([&] {
        Display* d = XOpenDisplay(gDisplayName.c_str());
        if (FindMenuWindow(d, &seen, kWaitMs)) {
            found = true;
            XSync(d, False);
            usleep(100000);  // let the menu draw itself before the picture
            SaveScreen(d, ArtifactPath("x11-menu.png"));
            // Third entry ("Monitor Mode"): padding, one item, one separator, half an item.
            Click(d, seen.x + seen.width / 2,
                  seen.y + kMenuPadding + kMenuItemHeight + kMenuSeparatorHeight + kMenuItemHeight / 2);
        }
        XCloseDisplay(d);
    });
    const BOOL result = TrackPopupMenu(menu, TPM_RIGHTALIGN | TPM_LEFTBUTTON, 600, 100, 0, hwnd, nullptr);
    clicker.join();
    DestroyMenu(menu);
    ASSERT_TRUE(found);
    EXPECT_EQ(seen.x + seen.width, 600) << "right edge at the point";
    EXPECT_EQ(seen.y, 100);
    EXPECT_TRUE(result);
    ReceivedMessages().clear();
    ASSERT_TRUE(PumpUntil([] { return Saw(WM_COMMAND); }, 500));
    for (const auto& r : ReceivedMessages()) {
        if (r.message == WM_COMMAND) {
            EXPECT_EQ(r.wParam, 1129u);
            EXPECT_EQ(r.hwnd, hwnd);
        }
    }
}

TEST_F(X11Test, MenuNearTheEdgeStaysOnScreenAndAClickOutsideDismissesIt) {
    HWND hwnd = MakePaintedWindow();
    ASSERT_NE(hwnd, nullptr);
    HMENU menu = ExitMenu();
    XWindowAttributes seen{};
    std::atomic<bool> found{false};
    std::thread clicker([&] {
        Display* d = XOpenDisplay(gDisplayName.c_str());
        if (FindMenuWindow(d, &seen, kWaitMs)) {
            found = true;
            Click(d, 10, 10);
        }
        XCloseDisplay(d);
    });
    const BOOL result = TrackPopupMenu(menu, TPM_RIGHTALIGN, 50, 470, 0, hwnd, nullptr);
    clicker.join();
    DestroyMenu(menu);
    ASSERT_TRUE(found);
    EXPECT_GE(seen.x, 0);
    EXPECT_LE(seen.y + seen.height, 480);
    EXPECT_FALSE(result);
    ReceivedMessages().clear();
    PumpUntil([] { return false; }, 100);
    EXPECT_FALSE(Saw(WM_COMMAND));
}

TEST_F(X11Test, TrayIconDocksInATrayManagerAndATapArrivesAsTheCallback) {
    HWND hwnd = MakePaintedWindow();
    ASSERT_NE(hwnd, nullptr);
    HICON icon = IconFromResource(IDI_DISCONNECTED);
    NOTIFYICONDATAW nid{};
    nid.cbSize = NOTIFYICONDATAW_V1_SIZE;
    nid.hWnd = hwnd;
    nid.uID = 1;
    nid.uFlags = NIF_MESSAGE | NIF_ICON;
    nid.uCallbackMessage = 1124;
    nid.hIcon = icon;

    // Without a manager the icon is absent, but kept.
    ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &nid));
    EXPECT_FALSE(CurrentTray().docked);

    const std::string trayer = FindProgram("trayer");
    if (trayer.empty()) {
        Shell_NotifyIconW(NIM_DELETE, &nid);
        DestroyIcon(icon);
        if (std::getenv("CI")) {
            FAIL() << "trayer is required in CI";
        }
        GTEST_SKIP() << "trayer is not installed";
    }
    trayer_ = Spawn({trayer, "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "64",
                     "--height", "24", "--SetDockType", "true"});
    ASSERT_GT(trayer_, 0);
    // The icon docks when the manager announces itself.
    ASSERT_TRUE(PumpUntil([] { return CurrentTray().docked && CurrentTray().iconRect.right > 0; }, 8000));
    const RECT r = CurrentTray().iconRect;
    PumpUntil([] { return false; }, 300);  // let the icon draw on its exposure
    SaveScreen(probe_, ArtifactPath("x11-tray.png"));
    ReceivedMessages().clear();
    Click(probe_, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    ASSERT_TRUE(PumpUntil([] { return Saw(1124, WM_LBUTTONUP); }));
    EXPECT_TRUE(Saw(1124, WM_LBUTTONDOWN));
    for (const auto& m : ReceivedMessages()) {
        if (m.message == 1124) {
            EXPECT_EQ(m.wParam, 1u) << "the icon id";
        }
    }

    nid.hIcon = IconFromResource(IDI_CONNECTED);
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &nid));
    EXPECT_EQ(CurrentTray().iconResourceId, IDI_CONNECTED);
    EXPECT_TRUE(Shell_NotifyIconW(NIM_DELETE, &nid));
    EXPECT_FALSE(CurrentTray().present);
    DestroyIcon(nid.hIcon);
    DestroyIcon(icon);
}

TEST_F(X11Test, WorkAreaComesFromTheServerWhenItFitsTheScreen) {
    const Window root = DefaultRootWindow(probe_);
    const Atom workarea = XInternAtom(probe_, "_NET_WORKAREA", False);
    auto setArea = [&](long x, long y, long w, long h) {
        const long v[4] = {x, y, w, h};
        XChangeProperty(probe_, root, workarea, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(v), 4);
        XSync(probe_, False);
    };
    RECT r{};
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0));
    EXPECT_EQ(r.right, 800) << "no property: the screen";
    setArea(0, 24, 800, 456);  // a panel along the top
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0));
    EXPECT_EQ(r.top, 24);
    EXPECT_EQ(r.bottom, 480);
    setArea(0, 0, 5000, 480);  // nonsense from another client
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0));
    EXPECT_EQ(r.right, 800);
    EXPECT_EQ(r.top, 0);
    XDeleteProperty(probe_, root, workarea);
    XSync(probe_, False);
}
