// PayloadHasher: the hash a signature check needs, taken while a signed file is being written,
// so that the check after the last byte costs almost nothing. It is fed the file's bytes in order,
// in pieces of any size; the last bytes, where the signature may sit, are kept back until the end
// (the trailer's length is only known then), everything before them goes into BLAKE2b-512 at once.
// Memory stays fixed whatever the file's size.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "COMMON/BM_SIGN/minisigntext.h"
#include "COMMON/BM_SIGN/signaturetrailer.h"

// What a finished PayloadHasher knows about the file it was fed.
struct StreamedPayload {
    static constexpr size_t kDigestBytes = crypto_generichash_BYTES_MAX;

    bool ok = false;                    // the hash could be taken (libsodium started)
    uint64_t fileSize = 0;              // bytes fed since the last reset
    TrailerLayout layout;               // the trailer as the file's last bytes give it
    std::string signatureText;          // SIG, when the layout is signed
    uint8_t digest[kDigestBytes] = {};  // BLAKE2b-512 of the payload, when the layout is signed
};

class PayloadHasher {
public:
    // The longest trailer: SIG (at most 4096 bytes), LEN and MAGIC.
    static constexpr size_t kKeptBytes = kMaxSignatureTextBytes + kTrailerTailBytes;

    PayloadHasher();
    PayloadHasher(const PayloadHasher&) = delete;
    PayloadHasher& operator=(const PayloadHasher&) = delete;

    // Forgets every byte fed so far: the file starts again, empty.
    void Reset();
    // The next `size` bytes of the file.
    void Update(const uint8_t* data, size_t size);
    // Bytes fed since the last reset.
    uint64_t BytesFed() const { return fed_; }
    // Reads the trailer from the kept bytes and ends the payload's hash. Once per reset: the
    // hasher must be reset before it is fed again.
    StreamedPayload Finish();

private:
    void Hash(const uint8_t* data, size_t size);

    crypto_generichash_state state_;
    bool ok_ = false;
    uint64_t fed_ = 0;
    // The file's last `kept_` bytes (at least min(fed_, kKeptBytes)); twice the size needed so
    // that small pieces move the kept bytes only once per kKeptBytes fed.
    uint8_t kept_[2 * kKeptBytes];
    size_t keptSize_ = 0;
};
