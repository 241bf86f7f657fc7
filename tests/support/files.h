// Test helper: whole-file reads and writes, copies and folder listings.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The file's bytes ("" when it cannot be read). Refuses anything but a regular file, so a FIFO
// never blocks the caller; `exists` tells whether it could be opened.
std::string ReadFile(const std::string& path, bool* exists = nullptr);
std::vector<uint8_t> ReadFileBytes(const std::string& path, bool* exists = nullptr);
// Replaces the file at `path` with `bytes`; false on any failure.
bool WriteFile(const std::string& path, std::string_view bytes);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// Copies `from` to `to` and gives the copy `mode`; false on any failure.
bool CopyFile(const std::string& from, const std::string& to, mode_t mode = 0755);
// True when both files can be read and hold the same bytes.
bool SameFileContents(const std::string& a, const std::string& b);
bool FileExists(const std::string& path);
// The names in folder `path`, sorted ("." and ".." left out; empty when it cannot be read).
std::vector<std::string> NamesIn(const std::string& path);
