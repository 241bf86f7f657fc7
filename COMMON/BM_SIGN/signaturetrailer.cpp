#include "COMMON/BM_SIGN/signaturetrailer.h"

#include <cstring>

#include "COMMON/BM_SIGN/minisigntext.h"
#include "COMMON/BM_UTIL/byteorder.h"

TrailerLayout ParseTrailerTail(const uint8_t* tail, size_t tailSize, uint64_t fileSize) {
    TrailerLayout layout;
    if (tailSize > fileSize || tailSize < kSignatureMagic.size() ||
        std::memcmp(tail + tailSize - kSignatureMagic.size(), kSignatureMagic.data(),
                    kSignatureMagic.size()) != 0) {
        return layout;  // unsigned
    }
    layout.kind = TrailerKind::kBad;
    if (tailSize < kTrailerTailBytes) {
        layout.why = "bad trailer: no signature length";
        return layout;
    }
    const uint32_t length = Load32(std::span<const uint8_t>(tail + tailSize - kTrailerTailBytes, 4));
    if (length == 0 || length > kMaxSignatureTextBytes) {
        layout.why = "bad trailer: signature length " + std::to_string(length);
        return layout;
    }
    if (length > fileSize - kTrailerTailBytes) {
        layout.why = "bad trailer: signature length " + std::to_string(length) + " beyond the file";
        return layout;
    }
    layout.kind = TrailerKind::kSigned;
    layout.signatureSize = length;
    layout.payloadSize = fileSize - kTrailerTailBytes - length;
    return layout;
}

std::string MakeTrailer(std::string_view signatureText) {
    if (signatureText.empty() || signatureText.size() > kMaxSignatureTextBytes) {
        return {};
    }
    std::string out(signatureText);
    const uint32_t length = static_cast<uint32_t>(signatureText.size());
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>(length >> (8 * i)));
    }
    out.append(kSignatureMagic);
    return out;
}
