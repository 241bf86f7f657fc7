// A bounded printf for UTF-16 text: the subset the program formats with.
#pragma once

#include <cstdarg>
#include <cstdint>

// Formats `format` with `args` into `out`, writing at most `maxChars` code units and no
// terminator. Conversions: %s (const char16_t*, null prints "(null)"), %d, %i, %u, %x, %X, %c,
// %%, with the flags '-' and '0', a decimal width, and the length modifiers 'h' and 'l'.
// An unknown conversion is copied as written. Returns the number of code units written, or -1
// when the whole text does not fit in `maxChars` (what was written up to then is left in `out`).
// `args` is consumed; callers that retry pass a fresh va_copy.
int32_t FormatWideBounded(char16_t* out, int32_t maxChars, const char16_t* format, va_list args);
