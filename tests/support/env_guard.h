// Test helper: sets (or, with a null value, removes) an environment variable of this process for
// the guard's life and puts back what was there before.
#pragma once

#include <optional>
#include <string>

class EnvGuard {
public:
    EnvGuard(const char* name, const char* value);
    EnvGuard(const char* name, const std::string& value) : EnvGuard(name, value.c_str()) {}
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};
