// Test helper: a fresh private directory under $TMPDIR (or /tmp), removed with its contents on
// destruction. Shared by the tests, the benchmarks and the fuzz targets.
#pragma once

#include <string>

class ScratchDir {
public:
    // Makes "<tmp>/<prefix>-XXXXXX"; Path() is "" when that failed.
    explicit ScratchDir(const std::string& prefix = "quillon-test");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The directory, or "" if it could not be made.
    const std::string& Path() const { return path_; }
    // `name` inside the directory.
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
