// PayloadHasher: the hash a signature check needs, taken while a signed file is being written,
// so that the check after the last byte costs almost nothing. It is fed the file's bytes in order,
// in pieces of any size; the last bytes, where the signature may sit, are kept back until the end
// (the trailer's length is only known then), everything before them goes into BLAKE2b-512.
// Fed as a file is written (ResetFromFile), a worker thread of the hasher's own reads the payload
// back from that file and hashes it while the download goes on and while the file is synced: at
// loopback speed BLAKE2b on one core is slower than the download, and the sync that follows
// leaves a core idle. Memory stays fixed whatever the file's size.
#pragma once

#include <sodium.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

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
    ~PayloadHasher();
    PayloadHasher(const PayloadHasher&) = delete;
    PayloadHasher& operator=(const PayloadHasher&) = delete;

    // Forgets every byte fed so far: the file starts again, empty. The fed bytes are hashed.
    void Reset();
    // The same, for bytes that are written to the file at `path` before they are fed: the worker
    // reads them back from there (opened now; when it cannot be, the fed bytes are hashed).
    void ResetFromFile(const std::string& path);
    // The next `size` bytes of the file.
    void Update(const uint8_t* data, size_t size);
    // Bytes fed since the last reset.
    uint64_t BytesFed() const { return fed_; }
    // Reads the trailer from the kept bytes and ends the payload's hash. Once per reset: the
    // hasher must be reset before it is fed again. Waits for the worker to hash the payload.
    StreamedPayload Finish();

private:
    // The next `size` bytes of payload: hashed now, or the worker may read them from the file.
    void Hash(const uint8_t* data, size_t size);
    void HashNow(const uint8_t* data, size_t size);
    void Restart();
    void StopWorker();
    void Work();
    // Hashes the next piece of the file (at most `size` bytes); false when the file holds no more.
    bool HashFromFile(uint8_t* buffer, uint64_t at, size_t size);

    crypto_generichash_state state_;
    bool ok_ = false;
    uint64_t fed_ = 0;
    // The file's last `kept_` bytes (at least min(fed_, kKeptBytes)); twice the size needed so
    // that small pieces move the kept bytes only once per kKeptBytes fed.
    uint8_t kept_[2 * kKeptBytes];
    size_t keptSize_ = 0;

    // Reading back from the file: the worker hashes [hashed_, limit_) while state_ is its own.
    int fd_ = -1;
    uint64_t limit_ = 0;
    uint64_t hashed_ = 0;
    bool finishing_ = false;  // no byte will be written any more: a short read is the end
    bool quit_ = false;
    bool done_ = false;  // the worker has ended
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread worker_;
};
