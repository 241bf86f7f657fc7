// The `quillon --status` side: asks the launcher serving the runtime folder for its status.
#pragma once

#include <optional>
#include <string>

#include "QUILLON/statusprotocol.h"

// Sends the request ("json" or "text") to <runtimeDir>/quillon-status and returns the answer.
// Nothing, with `problem` set to one line, when no launcher answers there (no socket, refused,
// no answer within `timeoutMs`). Blocks for at most about `timeoutMs`.
std::optional<std::string> AskLauncherStatus(const std::string& runtimeDir, bool json, int timeoutMs,
                                             std::string* problem);
