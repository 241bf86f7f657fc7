#include "COMMON/BM_SIGN/signaturecheck.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "COMMON/BM_SIGN/signaturetrailer.h"

namespace {
constexpr size_t kReadPiece = 1 << 20;
constexpr size_t kPrehashBytes = crypto_generichash_BYTES_MAX;  // BLAKE2b-512

// What the common check needs from a file or an image.
struct Source {
    uint64_t size = 0;
    // Reads exactly `count` bytes at `offset`; false (with errno-style cause) otherwise.
    std::function<bool(uint64_t offset, uint8_t* out, size_t count, std::string* why)> readAt;
    // Feeds the first `count` bytes to `state`.
    std::function<bool(crypto_generichash_state& state, uint64_t count, std::string* why)> hash;
    // Verifies `sig` over the first `count` bytes as one message.
    std::function<bool(const uint8_t* sig, uint64_t count, const uint8_t* key, bool* verified,
                       std::string* why)>
        verifyWhole;
};

SignatureCheck Result(SignatureCheck check, SignatureStatus status, std::string why) {
    check.status = status;
    check.why = std::move(why);
    return check;
}

// Checks the payload's signature: sets `verified`; false, with `why`, when it could not be done.
using PayloadVerifier =
    std::function<bool(const MinisignSignature& sig, const uint8_t* key, bool* verified, std::string* why)>;

// The trailer's verdict: false, with `check` saying why, for an unsigned file or a bad trailer.
bool AcceptLayout(const TrailerLayout& layout, SignatureCheck& check) {
    if (layout.kind == TrailerKind::kUnsigned) {
        check = Result(check, SignatureStatus::kNotSigned, "not signed");
        return false;
    }
    if (layout.kind == TrailerKind::kBad) {
        check = Result(check, SignatureStatus::kBadTrailer, layout.why);
        return false;
    }
    check.payloadSize = layout.payloadSize;
    return true;
}

// The check once SIG is read: its text, the key, the payload's signature, the global signature.
// Shared by the file, the image and the streamed payload, so that all give the same causes.
SignatureCheck CheckSignatureText(SignatureCheck check, std::string_view text, const TrustedKeys& keys,
                                  const PayloadVerifier& verifyPayload) {
    std::string why;
    MinisignSignature sig;
    if (!ParseMinisignSignature(text, sig, &why)) {
        return Result(check, SignatureStatus::kBadSignatureText, "bad signature text: " + why);
    }
    check.keyId = FormatKeyId(sig.keyId);
    const MinisignPublicKey* key = keys.Find(sig.keyId);
    if (key == nullptr) {
        return Result(check, SignatureStatus::kUnknownKey, "unknown key " + check.keyId);
    }
    bool verified = false;
    if (!verifyPayload(sig, key->key, &verified, &why)) {
        return Result(check, SignatureStatus::kReadError, why);
    }
    if (!verified) {
        return Result(check, SignatureStatus::kDoesNotVerify, "signature does not verify");
    }
    // The global signature binds the trusted comment to this signature.
    std::vector<uint8_t> global(sig.signature, sig.signature + kSignatureBytes);
    global.insert(global.end(), sig.trustedComment.begin(), sig.trustedComment.end());
    if (crypto_sign_verify_detached(sig.globalSignature, global.data(), global.size(), key->key) != 0) {
        return Result(check, SignatureStatus::kDoesNotVerify, "trusted comment does not verify");
    }
    check.trustedComment = sig.trustedComment;
    return Result(check, SignatureStatus::kValid, "");
}

SignatureCheck Verify(const Source& source, const TrustedKeys& keys) {
    SignatureCheck check;
    if (sodium_init() < 0) {
        return Result(check, SignatureStatus::kReadError, "libsodium could not start");
    }
    std::string why;
    const size_t tailSize = static_cast<size_t>(std::min<uint64_t>(source.size, kTrailerTailBytes));
    uint8_t tail[kTrailerTailBytes];
    if (!source.readAt(source.size - tailSize, tail, tailSize, &why)) {
        return Result(check, SignatureStatus::kReadError, why);
    }
    const TrailerLayout layout = ParseTrailerTail(tail, tailSize, source.size);
    if (!AcceptLayout(layout, check)) {
        return check;
    }
    std::string text(layout.signatureSize, '\0');
    if (!source.readAt(layout.payloadSize, reinterpret_cast<uint8_t*>(text.data()), text.size(), &why)) {
        return Result(check, SignatureStatus::kReadError, why);
    }
    return CheckSignatureText(
        check, text, keys,
        [&](const MinisignSignature& sig, const uint8_t* key, bool* verified, std::string* failure) {
            if (!sig.prehashed) {
                return source.verifyWhole(sig.signature, layout.payloadSize, key, verified, failure);
            }
            crypto_generichash_state state;
            uint8_t digest[kPrehashBytes];
            if (crypto_generichash_init(&state, nullptr, 0, sizeof digest) != 0 ||
                !source.hash(state, layout.payloadSize, failure) ||
                crypto_generichash_final(&state, digest, sizeof digest) != 0) {
                if (failure->empty()) {
                    *failure = "hash failed";
                }
                return false;
            }
            *verified = crypto_sign_verify_detached(sig.signature, digest, sizeof digest, key) == 0;
            return true;
        });
}

bool ReadFully(int fd, uint64_t offset, uint8_t* out, size_t count, std::string* why) {
    while (count > 0) {
        const ssize_t n = pread(fd, out, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *why = n == 0 ? "file shorter than it was" : std::string("read failed: ") + std::strerror(errno);
            return false;
        }
        out += n;
        offset += static_cast<uint64_t>(n);
        count -= static_cast<size_t>(n);
    }
    return true;
}
}  // namespace

SignatureCheck VerifySignedFile(int fd, const TrustedKeys& keys) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        SignatureCheck check;
        check.why = "not a regular file";
        return check;
    }
    Source source;
    source.size = static_cast<uint64_t>(st.st_size);
    source.readAt = [fd](uint64_t offset, uint8_t* out, size_t count, std::string* why) {
        return ReadFully(fd, offset, out, count, why);
    };
    source.hash = [fd](crypto_generichash_state& state, uint64_t count, std::string* why) {
        posix_fadvise(fd, 0, static_cast<off_t>(count), POSIX_FADV_SEQUENTIAL);
        std::vector<uint8_t> piece(kReadPiece);
        for (uint64_t at = 0; at < count;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(count - at, piece.size()));
            if (!ReadFully(fd, at, piece.data(), n, why) ||
                crypto_generichash_update(&state, piece.data(), n) != 0) {
                return false;
            }
            at += n;
        }
        return true;
    };
    source.verifyWhole = [fd](const uint8_t* sig, uint64_t count, const uint8_t* key, bool* verified,
                              std::string* why) {
        if (count == 0) {
            *verified = crypto_sign_verify_detached(sig, nullptr, 0, key) == 0;
            return true;
        }
        if (count > SIZE_MAX) {
            *why = "file too large";
            return false;
        }
        void* map = mmap(nullptr, static_cast<size_t>(count), PROT_READ, MAP_PRIVATE, fd, 0);
        if (map == MAP_FAILED) {
            *why = std::string("cannot map the file: ") + std::strerror(errno);
            return false;
        }
        madvise(map, static_cast<size_t>(count), MADV_SEQUENTIAL);
        *verified = crypto_sign_verify_detached(sig, static_cast<const uint8_t*>(map), count, key) == 0;
        munmap(map, static_cast<size_t>(count));
        return true;
    };
    return Verify(source, keys);
}

std::optional<SignatureCheck> VerifyStreamedPayload(const StreamedPayload& streamed,
                                                    const TrustedKeys& keys) {
    SignatureCheck check;
    if (!streamed.ok || sodium_init() < 0) {
        return std::nullopt;
    }
    if (!AcceptLayout(streamed.layout, check)) {
        return check;
    }
    bool needsFile = false;
    check = CheckSignatureText(
        check, streamed.signatureText, keys,
        [&](const MinisignSignature& sig, const uint8_t* key, bool* verified, std::string*) {
            needsFile = !sig.prehashed;  // the legacy form signs the payload itself
            *verified = !needsFile && crypto_sign_verify_detached(sig.signature, streamed.digest,
                                                                  sizeof streamed.digest, key) == 0;
            return !needsFile;
        });
    if (needsFile) {
        return std::nullopt;
    }
    return check;
}

SignatureCheck VerifySignedImage(const uint8_t* data, size_t size, const TrustedKeys& keys) {
    Source source;
    source.size = size;
    source.readAt = [data, size](uint64_t offset, uint8_t* out, size_t count, std::string* why) {
        if (offset > size || count > size - offset) {
            *why = "read outside the image";
            return false;
        }
        if (count > 0) {
            std::memcpy(out, data + offset, count);
        }
        return true;
    };
    source.hash = [data](crypto_generichash_state& state, uint64_t count, std::string*) {
        return crypto_generichash_update(&state, data, count) == 0;
    };
    source.verifyWhole = [data](const uint8_t* sig, uint64_t count, const uint8_t* key, bool* verified,
                                std::string*) {
        *verified = crypto_sign_verify_detached(sig, data, count, key) == 0;
        return true;
    };
    return Verify(source, keys);
}
