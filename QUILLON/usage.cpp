#include "QUILLON/usage.h"

#include <cstring>

#include "COMMON/BM_OS/runtimedir.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/statusclient.h"

namespace {
constexpr const char kHelpOption[] = "--help";
constexpr const char kVersionOption[] = "--version";
constexpr const char kStatusOption[] = "--status";
constexpr const char kJsonOption[] = "--json";
constexpr int kExitInfoShown = 0;

const char kHelp[] =
    "Usage: quillon [/NAME:<device name>]\n"
    "       quillon --help | --version\n"
    "       quillon --status [--json]\n"
    "\n"
    "The resident launcher of a home-automation tablet: finds the installation's gateway by UDP\n"
    "broadcast, installs or updates the tablet application TORVIX.EXE from it, starts it and\n"
    "watches it. Every status line of its window is also written to standard error.\n"
    "\n"
    "  /NAME:<name>   the device name: everything after the switch, spaces included (case\n"
    "                 matters). It picks the gateway and is passed on to the tablet application.\n"
    "  DEFAULT.TXT    without the switch, the device name is the first line of this file beside\n"
    "                 the executable (empty when there is none: the first gateway that answers)\n"
    "  --help         this text (only as the first argument)\n"
    "  --version      the build, e.g. \"quillon 6.9 Build 114.0 Rel\" (only as the first argument)\n"
    "  --status       asks the launcher running with the same runtime folder what it is doing:\n"
    "                 gateway, versions, the application, modes, a pause, the last download\n"
    "  --status --json  the same as one JSON object (snake_case keys) for scripts\n"
    "\n"
    "Environment:\n"
    "  QUILLON_ROOT         device root standing for \"\\\": TORVIX.EXE (ZVIEWER.EXE in dev mode) and\n"
    "                       the settings file NANDFLASH/DEV.DAT (default /var/lib/quillon)\n"
    "  QUILLON_RUNTIME_DIR  lock files and the window's control socket\n"
    "                       (default $XDG_RUNTIME_DIR/quillon, else /tmp/quillon-<uid>)\n"
    "  QUILLON_DISCOVERY    where the discovery ping goes, ADDR:PORT (default 255.255.255.255:444,\n"
    "                       a real LAN broadcast)\n"
    "  QUILLON_UI           x11 or headless (default x11 when DISPLAY is set, else headless)\n"
    "  QUILLON_SCREEN       headless screen size WIDTHxHEIGHT (default 800x480)\n"
    "  RUNTIMEOEMREV        when set (shorter than 63 characters), client type 19 instead of 2\n"
    "                       (default unset)\n"
    "  QUILLON_TRUSTED_KEYS a folder of minisign public keys (*.pub): with one or more, only\n"
    "                       executables signed by one of them are installed and started\n"
    "                       (default /etc/quillon/trusted-keys)\n"
    "  QUILLON_ROLLBACK     0 turns safe updates off (default on, see below)\n"
    "\n"
    "Safe updates: an install keeps the version before it as TORVIX.EXE.previous (a hard link)\n"
    "and puts the new one on trial (TORVIX.EXE.trial: its version, SHA-256 and quick ends). It\n"
    "passes once it runs longer than a minute; when it ends within 10 s of its start 3 times in\n"
    "a row, even across launcher restarts, the previous version is put back and started at once,\n"
    "the gateway is told, and the release is remembered in TORVIX.EXE.refused: while the gateway\n"
    "offers it, nothing is downloaded. The menu's \"Get Torvix\" takes it again all the same.\n"
    "\n"
    "Exit status:\n"
    "  0  normal end (menu Exit, SIGTERM, SIGINT), a second instance, or a refusal to run from\n"
    "     a network location\n"
    "  1  the message loop ended with an error\n"
    "  2  configuration error: a malformed QUILLON_DISCOVERY, QUILLON_UI=x11 without a display,\n"
    "     an unusable device root or runtime folder, a trusted key file that cannot be read or\n"
    "     parsed; --status followed by anything but --json\n"
    "  3  the gateway client cannot be created; with --status: no launcher answers\n"
    "\n"
    "Under systemd (Type=notify) the launcher reports readiness and a one-line status, feeds\n"
    "the watchdog from its loop, and marks each line's journal priority (errors, warnings).\n";
}  // namespace

namespace {
int HandleStatusOption(int argc, const char* const* argv, FILE* out, FILE* err) {
    const bool json = argc >= 3 && argv[2] != nullptr && std::strcmp(argv[2], kJsonOption) == 0;
    if (argc > 3 || (argc == 3 && !json)) {
        std::fprintf(err, "quillon: --status takes only --json after it\n");
        return kExitBadOption;
    }
    std::string problem;
    const std::optional<std::string> answer =
        AskLauncherStatus(RuntimeDirPath(), json, kStatusTimeoutMs, &problem);
    if (!answer) {
        std::fprintf(err, "quillon: %s\n", problem.c_str());
        return kExitNoLauncher;
    }
    std::fputs(answer->c_str(), out);
    std::fflush(out);
    return kExitInfoShown;
}
}  // namespace

const char* QuillonHelpText() {
    return kHelp;
}

std::string QuillonVersionText() {
    std::string text = "quillon ";
    // The build string is plain ASCII.
    for (const char16_t* p = kBuildString; *p != u'\0'; ++p) {
        text.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
    }
    return text;
}

std::optional<int> HandleInfoOption(int argc, const char* const* argv, FILE* out, FILE* err) {
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        return std::nullopt;
    }
    if (std::strcmp(argv[1], kHelpOption) == 0) {
        std::fputs(kHelp, out);
    } else if (std::strcmp(argv[1], kVersionOption) == 0) {
        std::fprintf(out, "%s\n", QuillonVersionText().c_str());
    } else if (std::strcmp(argv[1], kStatusOption) == 0) {
        return HandleStatusOption(argc, argv, out, err);
    } else {
        return std::nullopt;
    }
    std::fflush(out);
    return kExitInfoShown;
}
