// Checks the signature appended to an executable (see signaturetrailer.h) against the trusted
// keys, as minisign verifies: the signature over the payload ("ED": over its BLAKE2b-512 hash,
// "Ed": over the payload itself), then the global signature over that signature and the trusted
// comment. The file is untrusted input; nothing outside it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "COMMON/BM_SIGN/payloadhasher.h"
#include "COMMON/BM_SIGN/trustedkeys.h"

enum class SignatureStatus {
    kValid,
    kNotSigned,         // does not end with the magic line
    kBadTrailer,        // the length is 0, over 4096 or beyond the file
    kBadSignatureText,  // the appended text is not a minisign signature
    kUnknownKey,        // signed by a key that is not trusted
    kDoesNotVerify,     // signature or global signature wrong (a changed byte anywhere)
    kReadError,         // the file could not be read
};

struct SignatureCheck {
    SignatureStatus status = SignatureStatus::kReadError;
    std::string why;             // what is wrong, for a person ("unknown key 5C417BF1985B690E")
    uint64_t payloadSize = 0;    // bytes before the signature (when the trailer could be read)
    std::string keyId;           // the signing key's id (once the signature text parsed)
    std::string trustedComment;  // the signed comment (kValid)

    bool Valid() const { return status == SignatureStatus::kValid; }
    // "no valid signature: <why>", the text failure lines and reports carry.
    std::string Cause() const { return "no valid signature: " + why; }
};

// Verifies the file open on `fd` (read with pread: its offset stays where it was). Reads the
// file once in pieces of 1 MB for "ED" signatures (memory stays constant whatever the size);
// maps the payload for the legacy "Ed" form. Blocks while it reads.
SignatureCheck VerifySignedFile(int fd, const TrustedKeys& keys);

// The same for a file image in memory.
SignatureCheck VerifySignedImage(const uint8_t* data, size_t size, const TrustedKeys& keys);

// The same from what a PayloadHasher took while the file was written: the result and cause
// VerifySignedFile gives for those bytes, without reading them again. Nothing (std::nullopt)
// when the file itself must be checked: a legacy "Ed" signature (over the payload, not its
// hash) or a hash that could not be taken. Does not block.
std::optional<SignatureCheck> VerifyStreamedPayload(const StreamedPayload& streamed, const TrustedKeys& keys);
