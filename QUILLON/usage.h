// The launcher's own command-line options: --help, --version and --status [--json].
#pragma once

#include <cstdio>
#include <optional>
#include <string>

// The --help text: usage, the /NAME: switch, DEFAULT.TXT, the environment and the exit codes.
const char* QuillonHelpText();

// The --version line without its line feed: "quillon " and the build string.
std::string QuillonVersionText();

// Looks at the first argument only: exactly "--help" or "--version" prints the help or the version
// line to `out` and returns the exit code 0; "--status", optionally followed by "--json", asks the
// launcher of this runtime folder for its status and prints it to `out` (exit code 0), or one
// line to `err` when none answers (kExitNoLauncher); anything else (no argument included)
// returns nothing and the command line keeps its ordinary meaning. Takes no lock, opens no
// window, makes no folder; only --status waits (for at most kStatusTimeoutMs).
std::optional<int> HandleInfoOption(int argc, const char* const* argv, FILE* out = stdout,
                                    FILE* err = stderr);

constexpr int kExitNoLauncher = 3;
constexpr int kExitBadOption = 2;
constexpr int kStatusTimeoutMs = 2000;
