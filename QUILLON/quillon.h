// The launcher's process entry: single instance, location check, then the application.
#pragma once

#include <cstdint>
#include <string>

#include "QUILLON/programnames.h"

class NamedMutex;

// The process entry. `commandLine` is the program's arguments joined by single spaces and
// `invokedPath` the path it was started by (argv[0]). Returns the exit code: 0 for a second
// instance or a refusal to run from a network location, else the result of RunApplication.
int QuillonMain(const std::string& commandLine, const std::string& invokedPath);

// The single-instance step: true when this process now owns "QuillonMutex" through `instance`
// (to be held for the life of the launcher). Otherwise the running launcher's window (if found)
// is sent the "Startup Defaults" command.
bool BecomeFirstInstance(NamedMutex& instance);
