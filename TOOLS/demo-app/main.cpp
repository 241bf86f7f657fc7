// demo-app: the sample tablet application. Holds "TorvixMutex" while it runs, carries its file
// version in a .vsversion section, prints the arguments it was started with and ends on SIGTERM
// or after a set time; on request it shows a window of its own. See README.
#include <dlfcn.h>
#include <signal.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "COMMON/BM_OS/namedmutex.h"

namespace {
constexpr const char* kRunningMutex = "TorvixMutex";
constexpr const char* kShutdownMutex = "ShutdownQuillonMutex";
constexpr unsigned long kDefaultSeconds = 300;
constexpr unsigned long kMaxSeconds = 7 * 24 * 3600;
constexpr int kExitHeldElsewhere = 3;
constexpr uint32_t kTakeMutexMs = 500;
constexpr int kExitCrash = 70;
// The window's colour as a 24-bit TrueColor pixel (the usual visual of X servers today).
constexpr unsigned long kWindowPixel = 0x2E7D32;

// VS_VERSIONINFO with only its VS_FIXEDFILEINFO, byte for byte as the version reader expects.
constexpr size_t kBlockBytes = 92;
using VersionBlock = std::array<uint8_t, kBlockBytes>;

constexpr VersionBlock MakeVersionBlock(uint32_t ms, uint32_t ls) {
    VersionBlock b{};
    auto put16 = [&b](size_t at, uint32_t v) {
        b[at] = static_cast<uint8_t>(v);
        b[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    auto put32 = [&put16](size_t at, uint32_t v) {
        put16(at, v & 0xFFFF);
        put16(at + 2, v >> 16);
    };
    put16(0, kBlockBytes);  // wLength
    put16(2, 52);           // wValueLength
    put16(4, 0);            // wType: binary
    constexpr char kKey[] = "VS_VERSION_INFO";
    for (size_t i = 0; i < sizeof kKey; ++i) {
        put16(6 + 2 * i, static_cast<uint8_t>(kKey[i]));
    }
    put32(40, 0xFEEF04BD);  // dwSignature
    put32(44, 0x00010000);  // dwStrucVersion
    put32(48, ms);          // file version
    put32(52, ls);
    put32(56, ms);  // product version
    put32(60, ls);
    put32(64, 0x3F);  // dwFileFlagsMask
    put32(76, 1);     // dwFileType: application
    return b;
}

alignas(4) __attribute__((section(".vsversion"), used)) const VersionBlock kVersionBlock = MakeVersionBlock(
    (DEMO_APP_VERSION_A << 16) | DEMO_APP_VERSION_B, (DEMO_APP_VERSION_C << 16) | DEMO_APP_VERSION_D);

// The version as the file now says it (the stamping tool may have rewritten it after the build).
std::string VersionText() {
    const volatile uint8_t* b = kVersionBlock.data();
    auto word = [b](size_t at) { return static_cast<unsigned>(b[at] | (b[at + 1] << 8)); };
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", word(50), word(48), word(54), word(52));
    return text;
}

void PrintHelp() {
    std::printf(
        "usage: demo-app [PARAMETER...]\n"
        "The sample tablet application. While it runs it holds the named mutex TorvixMutex in the\n"
        "runtime folder (QUILLON_RUNTIME_DIR, else $XDG_RUNTIME_DIR/quillon, else /tmp/quillon-UID).\n"
        "It prints one line with its version and its arguments, then waits.\n"
        "Environment:\n"
        "  DEMO_APP_SECONDS=N         end after N seconds (default %lu)\n"
        "  DEMO_APP_HOLD_SHUTDOWN=1   also hold ShutdownQuillonMutex (the launcher then stops\n"
        "                             restarting the application)\n"
        "  DEMO_APP_CRASH=1           exit with status %d right after starting\n"
        "  DEMO_APP_CRASH_VERSION=V   the same, but only while its own version is V (e.g. 2.0.0.7)\n"
        "  DEMO_APP_LOG=FILE          also append the start line to FILE\n"
        "  DEMO_APP_WINDOW=1          show a plain green window filling the X11 screen (DISPLAY)\n"
        "Ends with status 0 on SIGTERM, SIGINT or SIGHUP, or when the time is up; status %d when\n"
        "another process holds TorvixMutex for more than half a second.\n",
        kDefaultSeconds, kExitCrash, kExitHeldElsewhere);
}

bool EnvFlag(const char* name) {
    const char* v = std::getenv(name);
    return v && std::strcmp(v, "1") == 0;
}

unsigned long RunSeconds() {
    const char* v = std::getenv("DEMO_APP_SECONDS");
    if (!v || !*v) {
        return kDefaultSeconds;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(v, &end, 10);
    if (errno != 0 || *end != '\0' || v[0] == '-' || n > kMaxSeconds) {
        return kDefaultSeconds;
    }
    return n;
}

std::string StartLine(int argc, char** argv) {
    std::string line = "demo-app " + VersionText() + " started args:";
    if (argc <= 1) {
        line += " (none)";
    }
    for (int i = 1; i < argc; ++i) {
        line += " [";
        line += argv[i];
        line += "]";
    }
    return line;
}

void Log(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (const char* path = std::getenv("DEMO_APP_LOG"); path && *path) {
        if (FILE* f = std::fopen(path, "ae")) {
            std::fprintf(f, "%s\n", line.c_str());
            std::fclose(f);
        }
    }
}

// Opens a plain window filling the X11 screen named by DISPLAY, so that kiosk trials see the
// application while it runs. libX11 is loaded at run time: the file itself still needs nothing
// beyond libc. The window stays until the process ends. Returns false (and says why on stderr)
// when it cannot be shown.
bool OpenWindow() {
    void* x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!x11) {
        std::fprintf(stderr, "demo-app: no window: %s\n", dlerror());
        return false;
    }
    using Xid = unsigned long;
    auto openDisplay = reinterpret_cast<void* (*)(const char*)>(dlsym(x11, "XOpenDisplay"));
    auto defaultScreen = reinterpret_cast<int (*)(void*)>(dlsym(x11, "XDefaultScreen"));
    auto rootWindow = reinterpret_cast<Xid (*)(void*, int)>(dlsym(x11, "XRootWindow"));
    auto width = reinterpret_cast<int (*)(void*, int)>(dlsym(x11, "XDisplayWidth"));
    auto height = reinterpret_cast<int (*)(void*, int)>(dlsym(x11, "XDisplayHeight"));
    auto create = reinterpret_cast<Xid (*)(void*, Xid, int, int, unsigned, unsigned, unsigned, unsigned long,
                                           unsigned long)>(dlsym(x11, "XCreateSimpleWindow"));
    auto storeName = reinterpret_cast<int (*)(void*, Xid, const char*)>(dlsym(x11, "XStoreName"));
    auto mapRaised = reinterpret_cast<int (*)(void*, Xid)>(dlsym(x11, "XMapRaised"));
    auto flush = reinterpret_cast<int (*)(void*)>(dlsym(x11, "XFlush"));
    if (!openDisplay || !defaultScreen || !rootWindow || !width || !height || !create || !storeName ||
        !mapRaised || !flush) {
        std::fprintf(stderr, "demo-app: no window: libX11 lacks a function\n");
        return false;
    }
    void* display = openDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "demo-app: no window: cannot open the X11 display\n");
        return false;
    }
    const int screen = defaultScreen(display);
    const Xid window =
        create(display, rootWindow(display, screen), 0, 0, static_cast<unsigned>(width(display, screen)),
               static_cast<unsigned>(height(display, screen)), 0, 0, kWindowPixel);
    storeName(display, window, "demo-app");
    mapRaised(display, window);
    flush(display);
    return true;
}

// Blocks until one of the stop signals arrives or `seconds` have passed; names the reason.
const char* WaitForEnd(const sigset_t& stopSignals, unsigned long seconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(seconds);
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > deadline.tv_sec ||
            (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec)) {
            return "time is up";
        }
        timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
        if (left.tv_nsec < 0) {
            left.tv_sec -= 1;
            left.tv_nsec += 1000000000L;
        }
        const int sig = sigtimedwait(&stopSignals, nullptr, &left);
        if (sig > 0) {
            return strsignal(sig);
        }
    }
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintHelp();
        return 0;
    }
    signal(SIGPIPE, SIG_IGN);  // a closed stdout must not end the application
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

    NamedMutex running;
    // The launcher's probe holds the mutex for a moment when nobody runs: wait that out.
    if (!running.Create(kRunningMutex) || running.Wait(kTakeMutexMs) != WaitResult::Signalled) {
        std::fprintf(stderr, "demo-app: %s is held by another process (or cannot be made)\n", kRunningMutex);
        return kExitHeldElsewhere;
    }
    NamedMutex shutdown;
    if (EnvFlag("DEMO_APP_HOLD_SHUTDOWN") &&
        (!shutdown.Create(kShutdownMutex) || shutdown.Wait(kTakeMutexMs) != WaitResult::Signalled)) {
        std::fprintf(stderr, "demo-app: could not take %s\n", kShutdownMutex);
    }
    if (EnvFlag("DEMO_APP_WINDOW")) {
        OpenWindow();
    }
    Log(StartLine(argc, argv));
    const char* crashVersion = std::getenv("DEMO_APP_CRASH_VERSION");
    if (EnvFlag("DEMO_APP_CRASH") || (crashVersion != nullptr && VersionText() == crashVersion)) {
        std::fprintf(stderr, "demo-app: crashing on request\n");
        return kExitCrash;
    }
    const char* reason = WaitForEnd(stopSignals, RunSeconds());
    Log("demo-app " + VersionText() + " stopping: " + reason);
    return 0;
}
