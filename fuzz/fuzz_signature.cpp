// The appended signature from the network: the trailer, the minisign signature text and the
// public key text, and the whole check over a file image (from memory and from a descriptor).
// Input: [mode][rest]. Mode & 3: 0 the rest is a file image; 1 a signature text; 2 a public key
// text; 3 the rest is [LEN u32][text] and the image is a fixed payload, the text, LEN and the
// magic line, so that mutations of the text keep a well-framed trailer. Nothing may be read
// outside the input, a failure always says why, and every check must agree: from memory, from a
// descriptor, and from the hash taken while the image is fed in random pieces.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "COMMON/BM_SIGN/payloadhasher.h"
#include "COMMON/BM_SIGN/signaturecheck.h"
#include "COMMON/BM_SIGN/signaturetrailer.h"
#include "fuzz/fuzzsupport.h"

namespace {
// A test key made for this target only (its secret half was thrown away); the seeds carry
// signatures by it.
constexpr const char kFuzzKey[] =
    "untrusted comment: minisign public key 2CF3EA1934BF948D\n"
    "RWSNlL80GerzLLcndo0rqF3Yn0CPKmFn0GAuvlyite39/DQmozcUxt9O\n";
constexpr const char kSeedPayload[] = "seed payload\n";

const TrustedKeys& Keys() {
    static const TrustedKeys keys = [] {
        TrustedKeys k;
        MinisignPublicKey key;
        FUZZ_CHECK(ParseMinisignPublicKey(kFuzzKey, key, nullptr) && k.Add(key));
        return k;
    }();
    return keys;
}

bool EndsWithMagic(const std::vector<uint8_t>& image) {
    return image.size() >= kSignatureMagic.size() &&
           std::string(image.end() - static_cast<long>(kSignatureMagic.size()), image.end()) ==
               kSignatureMagic;
}

// Feeds `image` to a hasher in pieces of random sizes (from `seed`; some of one byte, some longer
// than the bytes it keeps back), after a start that is thrown away, and compares with `expected`.
void CheckStreamed(const std::vector<uint8_t>& image, const SignatureCheck& expected, uint64_t seed) {
    static PayloadHasher hasher;
    hasher.Update(image.data(), image.size() / 3);
    hasher.Reset();
    uint64_t x = seed | 1;
    for (size_t at = 0; at < image.size();) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const size_t limit = (x & 3) == 0 ? 1 : (x & 3) == 1 ? 64 : 2 * PayloadHasher::kKeptBytes;
        const size_t piece = std::min<size_t>(image.size() - at, 1 + (x >> 8) % limit);
        hasher.Update(image.data() + at, piece);
        at += piece;
    }
    FUZZ_CHECK(hasher.BytesFed() == image.size());
    const std::optional<SignatureCheck> streamed = VerifyStreamedPayload(hasher.Finish(), Keys());
    if (!streamed) {
        // Only a legacy signature by a trusted key needs the file itself.
        FUZZ_CHECK(expected.status == SignatureStatus::kValid ||
                   expected.status == SignatureStatus::kDoesNotVerify);
        return;
    }
    FUZZ_CHECK(streamed->status == expected.status && streamed->why == expected.why);
    FUZZ_CHECK(streamed->payloadSize == expected.payloadSize && streamed->keyId == expected.keyId);
    FUZZ_CHECK(streamed->trustedComment == expected.trustedComment);
}

void CheckImage(const std::vector<uint8_t>& image, uint64_t splitSeed) {
    static const int memfd = memfd_create("fuzz-signature", MFD_CLOEXEC);
    FUZZ_CHECK(memfd >= 0);
    FUZZ_CHECK(ftruncate(memfd, 0) == 0);
    FUZZ_CHECK(image.empty() ||
               pwrite(memfd, image.data(), image.size(), 0) == static_cast<ssize_t>(image.size()));
    const SignatureCheck fromMemory = VerifySignedImage(image.data(), image.size(), Keys());
    const SignatureCheck fromFile = VerifySignedFile(memfd, Keys());
    FUZZ_CHECK(fromMemory.status == fromFile.status && fromMemory.why == fromFile.why);
    FUZZ_CHECK(fromMemory.Valid() == fromMemory.why.empty());
    FUZZ_CHECK(fromMemory.payloadSize <= image.size());
    FUZZ_CHECK((fromMemory.status == SignatureStatus::kNotSigned) == !EndsWithMagic(image));
    FUZZ_CHECK(fromMemory.status != SignatureStatus::kReadError);
    CheckStreamed(image, fromMemory, splitSeed);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t mode = in.Byte() & 3;
    if (mode == 3) {
        const uint32_t length = in.U32();
        std::vector<uint8_t> image(kSeedPayload, kSeedPayload + sizeof kSeedPayload - 1);
        const std::vector<uint8_t> text = in.Rest();
        image.insert(image.end(), text.begin(), text.end());
        for (int i = 0; i < 4; ++i) {
            image.push_back(static_cast<uint8_t>(length >> (8 * i)));
        }
        image.insert(image.end(), kSignatureMagic.begin(), kSignatureMagic.end());
        CheckImage(image, length);
        return 0;
    }
    // An exact-size copy, so that AddressSanitizer sees any read past its end.
    const std::vector<uint8_t> rest = in.Rest();
    if (mode == 0) {
        CheckImage(rest, size * 0x9E3779B97F4A7C15ull + (rest.empty() ? 0 : rest.back()));
        return 0;
    }
    const std::string text(rest.begin(), rest.end());
    std::string why;
    if (mode == 1) {
        MinisignSignature sig;
        const bool ok = ParseMinisignSignature(text, sig, &why);
        FUZZ_CHECK(ok == why.empty());
        FUZZ_CHECK(!ok || (text.size() <= kMaxSignatureTextBytes && sig.trustedComment.size() < text.size()));
    } else {
        MinisignPublicKey key;
        const bool ok = ParseMinisignPublicKey(text, key, &why);
        FUZZ_CHECK(ok == why.empty());
        FUZZ_CHECK(!ok || (!FormatKeyId(key.keyId).empty() && FormatKeyId(key.keyId).size() <= 16));
    }
    return 0;
}
