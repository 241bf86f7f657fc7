// Window message and command ids of the launcher's window, tray icon and command menu. A second
// launcher and the tests outside the process post these, so the values are fixed.
#pragma once

#include <cstdint>

constexpr uint32_t WM_TRAYNOTIFY = 1124;  // tray icon callback; lParam carries the mouse message

constexpr uint32_t IDM_CLEANUP_DESKTOP = 1125;
constexpr uint32_t IDM_GET_TORVIX = 1126;
constexpr uint32_t IDM_START_TORVIX = 1127;
constexpr uint32_t IDM_START_TORVIX_REMOTE = 1128;
constexpr uint32_t IDM_MONITOR_MODE = 1129;
constexpr uint32_t IDM_EXIT = 1130;
constexpr uint32_t IDM_TORVIX_RUNNING = 1131;
constexpr uint32_t IDM_STARTUP_DEFAULTS = 1132;
constexpr uint32_t IDM_RESTART_NETWORK = 1133;
constexpr uint32_t IDM_DEV_MODE = 1134;
