#include "QUILLON/testoverrides.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

uint32_t TestOverrideMs(const char* name, uint32_t fallbackMs, uint32_t maxMs) {
    const char* test = std::getenv("QUILLON_TEST");
    const char* value = std::getenv(name);
    if (test == nullptr || std::strcmp(test, "1") != 0 || value == nullptr || *value == '\0') {
        return fallbackMs;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long ms = std::strtoul(value, &end, 10);
    if (errno != 0 || *end != '\0' || ms > maxMs) {
        return fallbackMs;
    }
    return static_cast<uint32_t>(ms);
}
