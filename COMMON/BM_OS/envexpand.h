// Expansion of %NAME% references over the process environment, with the count semantics the
// launcher's client-type rule depends on.
#pragma once

#include <cstdint>

// Expands every %NAME% in `source` whose NAME is defined; an undefined reference stays as
// written, a lone "%" is copied. Environment bytes map to code units one to one ("C" locale).
// Returns the length of the complete result including its terminating zero, even when that is
// larger than `destChars`; the result is written to `dest` only when it fits (dest may then be
// null when destChars is 0). Returns 0 when `source` is null.
uint32_t ExpandEnvironment(const char16_t* source, char16_t* dest, uint32_t destChars);

// The client type: 19 when RUNTIMEOEMREV is defined and "%RUNTIMEOEMREV%" expands to a count
// below 64 (value shorter than 63 characters), otherwise 2.
int32_t ClientTypeFromEnvironment();

constexpr int32_t kClientTypeDefault = 2;
constexpr int32_t kClientTypeOem = 19;
