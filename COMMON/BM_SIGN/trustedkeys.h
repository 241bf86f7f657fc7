// The set of public keys an installation trusts: every "*.pub" minisign public key file in one
// folder (QUILLON_TRUSTED_KEYS, default /etc/quillon/trusted-keys). A missing folder holds no
// keys; a key file that cannot be read or parsed is an error, never a silent gap in the set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "COMMON/BM_SIGN/minisigntext.h"

constexpr const char kTrustedKeysVariable[] = "QUILLON_TRUSTED_KEYS";
constexpr const char kDefaultTrustedKeysFolder[] = "/etc/quillon/trusted-keys";

class TrustedKeys {
public:
    // The folder named by QUILLON_TRUSTED_KEYS, or the default when it is unset or empty.
    static std::string ConfiguredFolder();

    // Adds every "*.pub" file of `folder` (names starting with a dot are skipped), in name order.
    // A folder that does not exist adds nothing and succeeds. False, with `error` naming the file
    // (or folder) and the cause, when one cannot be read or parsed, or when two files give one key
    // id different keys. Reads only small files; does not block otherwise.
    bool LoadFolder(const std::string& folder, std::string* error);
    // Adds the key in the public key file `path`; false with `error` ("<path>: <cause>").
    bool AddKeyFile(const std::string& path, std::string* error);
    // Adds `key`; false when its id is already there with a different key.
    bool Add(const MinisignPublicKey& key);

    // The key with this id, or null.
    const MinisignPublicKey* Find(const uint8_t keyId[kKeyIdBytes]) const;
    bool Empty() const { return keys_.empty(); }
    size_t Size() const { return keys_.size(); }

private:
    std::vector<MinisignPublicKey> keys_;
};
