#include "COMMON/BM_SIGN/payloadhasher.h"

#include <algorithm>
#include <cstring>

PayloadHasher::PayloadHasher() {
    Reset();
}

void PayloadHasher::Reset() {
    ok_ = sodium_init() >= 0 &&
          crypto_generichash_init(&state_, nullptr, 0, StreamedPayload::kDigestBytes) == 0;
    fed_ = 0;
    keptSize_ = 0;
}

void PayloadHasher::Hash(const uint8_t* data, size_t size) {
    if (ok_ && size > 0) {
        ok_ = crypto_generichash_update(&state_, data, size) == 0;
    }
}

void PayloadHasher::Update(const uint8_t* data, size_t size) {
    if (size == 0) {
        return;
    }
    fed_ += size;
    if (size >= kKeptBytes) {
        // Everything kept so far and all but the piece's last bytes are payload.
        Hash(kept_, keptSize_);
        Hash(data, size - kKeptBytes);
        std::memcpy(kept_, data + size - kKeptBytes, kKeptBytes);
        keptSize_ = kKeptBytes;
        return;
    }
    if (keptSize_ + size > sizeof kept_) {
        // Keep exactly kKeptBytes once the piece is in: the oldest bytes are payload.
        const size_t drop = keptSize_ + size - kKeptBytes;
        Hash(kept_, drop);
        std::memmove(kept_, kept_ + drop, keptSize_ - drop);
        keptSize_ -= drop;
    }
    std::memcpy(kept_ + keptSize_, data, size);
    keptSize_ += size;
}

StreamedPayload PayloadHasher::Finish() {
    StreamedPayload out;
    out.fileSize = fed_;
    const size_t tailSize = static_cast<size_t>(std::min<uint64_t>(fed_, kTrailerTailBytes));
    out.layout = ParseTrailerTail(kept_ + keptSize_ - tailSize, tailSize, fed_);
    const uint64_t hashed = fed_ - keptSize_;
    if (out.layout.kind == TrailerKind::kSigned) {
        // The trailer is at most kKeptBytes long, so the payload ends within the kept bytes.
        if (out.layout.payloadSize < hashed) {
            return out;  // not ok: cannot happen while the kept bytes cover the longest trailer
        }
        const size_t rest = static_cast<size_t>(out.layout.payloadSize - hashed);
        Hash(kept_, rest);
        out.signatureText.assign(reinterpret_cast<const char*>(kept_ + rest), out.layout.signatureSize);
        ok_ = ok_ && crypto_generichash_final(&state_, out.digest, sizeof out.digest) == 0;
    }
    out.ok = ok_;
    ok_ = false;  // the state is spent
    return out;
}
