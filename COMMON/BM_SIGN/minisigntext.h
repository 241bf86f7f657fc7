// The two minisign texts a trusted update deals with: the public key file (an untrusted comment
// line and the base64 of "Ed", key id and Ed25519 key) and the signature file (untrusted comment,
// base64 of algorithm, key id and signature, trusted comment, base64 of the global signature).
// Both come from outside: every length is checked and a text that is not exactly one of these
// is refused with a reason a person can act on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr size_t kKeyIdBytes = 8;
constexpr size_t kPublicKeyBytes = 32;
constexpr size_t kSignatureBytes = 64;
// Larger texts are refused before they are looked at.
constexpr size_t kMaxKeyFileBytes = 4096;
constexpr size_t kMaxSignatureTextBytes = 4096;

struct MinisignPublicKey {
    uint8_t keyId[kKeyIdBytes] = {};
    uint8_t key[kPublicKeyBytes] = {};
};

struct MinisignSignature {
    bool prehashed = true;  // "ED": over the BLAKE2b-512 hash of the file; "Ed": over the file
    uint8_t keyId[kKeyIdBytes] = {};
    uint8_t signature[kSignatureBytes] = {};
    std::string trustedComment;  // the text after "trusted comment: ", without the line end
    uint8_t globalSignature[kSignatureBytes] = {};
};

// Parses a public key file's text. False with `why` set ("second line is not base64 of a key",
// ...) when it is not one. Lines may end in LF or CR LF; empty lines may follow.
bool ParseMinisignPublicKey(std::string_view text, MinisignPublicKey& key, std::string* why);

// Parses a signature file's text: exactly four lines, each ended by LF (a CR before it is
// dropped, as minisign does). False with `why` set ("line 2: not base64 of a signature", ...).
bool ParseMinisignSignature(std::string_view text, MinisignSignature& sig, std::string* why);

// A key id as minisign prints it: the eight bytes read as a little-endian number, in upper-case
// hex digits without leading zeros (so up to 16), so that it matches the key file's comment.
std::string FormatKeyId(const uint8_t id[kKeyIdBytes]);
