// Start-up check of the settings the launcher cannot work without, made before any window,
// lock or ping, so that a broken setting ends the program at once with a line that names it
// (exit status 2; the service then stops restarting it) instead of a launcher that runs and
// never finds its gateway.
#pragma once

#include <string>

constexpr int kExitConfigurationError = 2;

// The first problem among: QUILLON_DISCOVERY set but not ADDR:PORT (empty included);
// QUILLON_UI=x11 without DISPLAY or with a display that cannot be opened; a device root
// (QUILLON_ROOT, else its default) that is missing, not a folder or not writable; a runtime
// folder that cannot be made or used; a trusted key file (QUILLON_TRUSTED_KEYS, else its
// default) that cannot be read or parsed. One line naming the variable, its value and the cause;
// "" when all is well. Blocks only for the X11 connection attempt.
std::string ConfigurationProblem();
