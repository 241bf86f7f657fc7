// Standard-error copy of the status log: the only way to read the log without a display.
#pragma once

#include <string>

#include "COMMON/BM_UTIL/bmstring.h"

// The stderr form of one status line: one trailing line feed (discovery lines carry one) is
// dropped, code units 1..255 become the byte of that value (the program's 8-bit mapping),
// larger ones UTF-8, and any other control byte '?', so that one status line is one output line.
std::string StatusEchoText(const BmString& line);

// Writes StatusEchoText(line) and a line feed to standard error in one write.
void EchoStatusLine(const BmString& line);
