// The launcher's own command-line options: --help and --version.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

// The --help text: usage, the /NAME: switch, DEFAULT.TXT, the environment and the exit codes.
const char* QuillonHelpText();

// The --version line without its line feed: "quillon " and the build string.
std::string QuillonVersionText();

// Looks at the first argument only: exactly "--help" or "--version" prints the help or the version
// line to `out` and returns the exit code 0; anything else (no argument included) returns nothing
// and the command line keeps its ordinary meaning. Never blocks, takes no lock, opens no window.
std::optional<int> HandleInfoOption(int argc, const char* const* argv, FILE* out = stdout);
