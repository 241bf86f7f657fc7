// What `quillon --status` and the launcher it asks agree on: the socket's name in the runtime
// folder and the one-line requests.
#pragma once

// The socket's name inside the runtime folder.
constexpr const char kStatusSocketName[] = "quillon-status";
// The request lines a server understands.
constexpr const char kStatusRequestJson[] = "json\n";
constexpr const char kStatusRequestText[] = "text\n";
