// Time-outs that end-to-end tests may shorten, so that they need not wait real pauses.
#pragma once

#include <cstdint>

// The value of environment variable `name` as milliseconds, when QUILLON_TEST=1 is also set and
// the value is a plain decimal number of at most `maxMs`; else `fallbackMs`.
uint32_t TestOverrideMs(const char* name, uint32_t fallbackMs, uint32_t maxMs);
