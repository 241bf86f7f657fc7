// The runtime folder for lock files and window sockets: QUILLON_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/quillon, else /tmp/quillon-<uid>; created with mode 0700 on first use. An
// existing folder is used only when it is a directory (not a link) owned by this user.
#pragma once

#include <string>

// Returns the folder (created if missing), or "" when it cannot be created or used.
std::string RuntimeDir();

// The folder RuntimeDir would use, from the environment only: nothing is created or checked
// (for a client that must not leave a folder behind where no launcher runs).
std::string RuntimeDirPath();

// Why the last RuntimeDir() call gave "": "<folder>: <cause>" (not a directory, owned by
// another user, mode that cannot be narrowed, mkdir's strerror); "" after a usable folder.
std::string RuntimeDirProblem();

// True when `name` may be used as a file name inside the runtime folder: not empty, no "/",
// not "." or "..", no NUL, at most 200 bytes.
bool IsSafeRuntimeName(const std::string& name);
