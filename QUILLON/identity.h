// The tablet's identity towards the gateway: client type, adapter-address text and device name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "COMMON/BM_UTIL/bmstring.h"

// Largest "DEFAULT.TXT" prefix that is read; the first line of any sane file is far shorter.
constexpr size_t kMaxDefaultFileBytes = 64 * 1024;

// The device name given on `commandLine` after the first "/NAME:" (case-sensitive): everything
// after the switch, spaces included. None when the switch is absent.
std::optional<std::string> NameFromCommandLine(const std::string& commandLine);

// The first line of "DEFAULT.TXT" in the folder of `executablePath` (up to the first CR, LF or
// NUL byte; at most kMaxDefaultFileBytes are read). None when the path has no folder part or
// the file cannot be read.
std::optional<std::string> ReadDefaultNameBeside(const std::string& executablePath);

// ReadDefaultNameBeside for this program's own executable.
std::optional<std::string> ReadDefaultName();

// The device name: from the command line, else from "DEFAULT.TXT", else empty.
std::string DeviceName(const std::string& commandLine);

// The first adapter's hardware address as "00-1A-2B-3C-4D-5E", or an empty text.
BmString AdapterAddressText();

// True when the program must not run from where it was started: `invokedPath` (argv[0], when it
// names a file) or the executable's own path lies on a network location. Both are looked at
// because the kernel's record of the executable's path has "//" folded to "/".
bool RunsFromNetworkLocation(const std::string& invokedPath);
