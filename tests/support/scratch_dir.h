// Test helper: a fresh private directory under $TMPDIR (or /tmp), removed with its contents
// on destruction. Header-only.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

class ScratchDir {
public:
    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quillon-test-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchDir() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The directory, or "" if it could not be made.
    const std::string& Path() const { return path_; }
    // `name` inside the directory.
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
