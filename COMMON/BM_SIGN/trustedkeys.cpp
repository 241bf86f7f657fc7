#include "COMMON/BM_SIGN/trustedkeys.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

// The whole of a small regular file, or false with the cause.
bool ReadSmallFile(const std::string& path, size_t limit, std::string& out, std::string* cause) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return Fail(cause, std::strerror(errno));
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return Fail(cause, "not a regular file");
    }
    out.clear();
    char buffer[1024];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int saved = errno;
            close(fd);
            return Fail(cause, std::strerror(saved));
        }
        if (n == 0) {
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > limit) {
            close(fd);
            return Fail(cause, "larger than " + std::to_string(limit) + " bytes");
        }
    }
    close(fd);
    return true;
}
}  // namespace

std::string TrustedKeys::ConfiguredFolder() {
    const char* value = std::getenv(kTrustedKeysVariable);
    return value != nullptr && value[0] != '\0' ? value : kDefaultTrustedKeysFolder;
}

bool TrustedKeys::LoadFolder(const std::string& folder, std::string* error) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        if (errno == ENOENT) {
            return true;
        }
        return Fail(error, folder + ": " + std::strerror(errno));
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name[0] != '.' && name.compare(name.size() - 4, 4, ".pub") == 0) {
            names.push_back(name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!AddKeyFile(folder + "/" + name, error)) {
            return false;
        }
    }
    return true;
}

bool TrustedKeys::AddKeyFile(const std::string& path, std::string* error) {
    std::string text;
    std::string cause;
    MinisignPublicKey key;
    if (!ReadSmallFile(path, kMaxKeyFileBytes, text, &cause) || !ParseMinisignPublicKey(text, key, &cause)) {
        return Fail(error, path + ": " + cause);
    }
    if (!Add(key)) {
        return Fail(error,
                    path + ": key id " + FormatKeyId(key.keyId) + " is already trusted with another key");
    }
    return true;
}

bool TrustedKeys::Add(const MinisignPublicKey& key) {
    if (const MinisignPublicKey* known = Find(key.keyId)) {
        return std::memcmp(known->key, key.key, kPublicKeyBytes) == 0;
    }
    keys_.push_back(key);
    return true;
}

const MinisignPublicKey* TrustedKeys::Find(const uint8_t keyId[kKeyIdBytes]) const {
    for (const MinisignPublicKey& key : keys_) {
        if (std::memcmp(key.keyId, keyId, kKeyIdBytes) == 0) {
            return &key;
        }
    }
    return nullptr;
}
