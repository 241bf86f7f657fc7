#include "tests/support/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {
constexpr size_t kChunk = 1 << 16;

bool ReadInto(const std::string& path, std::string* out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    std::string chunk(kChunk, '\0');
    for (ssize_t n; (n = read(fd, chunk.data(), chunk.size())) > 0;) {
        out->append(chunk.data(), static_cast<size_t>(n));
    }
    close(fd);
    return true;
}
}  // namespace

std::string ReadFile(const std::string& path, bool* exists) {
    std::string out;
    const bool ok = ReadInto(path, &out);
    if (exists != nullptr) {
        *exists = ok;
    }
    return out;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path, bool* exists) {
    const std::string text = ReadFile(path, exists);
    return std::vector<uint8_t>(text.begin(), text.end());
}

bool WriteFile(const std::string& path, std::string_view bytes) {
    FILE* file = std::fopen(path.c_str(), "wbe");
    if (file == nullptr) {
        return false;
    }
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    return WriteFile(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool CopyFile(const std::string& from, const std::string& to, mode_t mode) {
    bool exists = false;
    const std::string bytes = ReadFile(from, &exists);
    return exists && WriteFile(to, bytes) && chmod(to.c_str(), mode) == 0;
}

bool SameFileContents(const std::string& a, const std::string& b) {
    // In chunks: the files may be large, and a benchmark measures this process's peak memory.
    FILE* fa = std::fopen(a.c_str(), "rbe");
    FILE* fb = std::fopen(b.c_str(), "rbe");
    bool same = fa != nullptr && fb != nullptr;
    std::vector<char> ba(kChunk);
    std::vector<char> bb(kChunk);
    while (same) {
        const size_t na = std::fread(ba.data(), 1, kChunk, fa);
        const size_t nb = std::fread(bb.data(), 1, kChunk, fb);
        same = na == nb && std::equal(ba.begin(), ba.begin() + static_cast<std::ptrdiff_t>(na), bb.begin());
        if (na == 0) {
            break;
        }
    }
    for (FILE* file : {fa, fb}) {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
    return same;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> NamesIn(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}
