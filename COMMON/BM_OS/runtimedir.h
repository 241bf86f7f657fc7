// The runtime folder for lock files and window sockets: QUILLON_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/quillon, else /tmp/quillon-<uid>; created with mode 0700 on first use. An
// existing folder is used only when it is a directory (not a link) owned by this user.
#pragma once

#include <string>

// Returns the folder (created if missing), or "" when it cannot be created.
std::string RuntimeDir();

// True when `name` may be used as a file name inside the runtime folder: not empty, no "/",
// not "." or "..", no NUL, at most 200 bytes.
bool IsSafeRuntimeName(const std::string& name);
