#include "tests/support/minisign_kit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/peer_process.h"

std::string MinisignKit::Program() {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t at = 0; at <= dirs.size();) {
        size_t colon = dirs.find(':', at);
        if (colon == std::string::npos) {
            colon = dirs.size();
        }
        const std::string candidate = dirs.substr(at, colon - at) + "/minisign";
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        at = colon + 1;
    }
    return "";
}

bool MinisignKit::MakeKey(const std::string& name) const {
    const std::string program = Program();
    unlink(PublicKey(name).c_str());
    unlink(SecretKey(name).c_str());
    return !program.empty() &&
           RunToEnd({program, "-G", "-W", "-p", PublicKey(name), "-s", SecretKey(name)}, {}, true) == 0;
}

std::string MinisignKit::KeyId(const std::string& name) const {
    const std::string text = ReadFile(PublicKey(name));
    const std::string marker = "minisign public key ";
    const size_t at = text.find(marker);
    if (at == std::string::npos) {
        return "";
    }
    const size_t from = at + marker.size();
    return text.substr(from, text.find('\n', from) - from);
}

std::optional<std::string> MinisignKit::Sign(const std::string& file, const std::string& name, bool legacy,
                                             const std::string& trustedComment) const {
    const std::string program = Program();
    const std::string sig = folder_ + "/signature.minisig";
    unlink(sig.c_str());
    std::vector<std::string> argv = {program, "-S", "-s", SecretKey(name), "-m", file, "-x", sig};
    if (legacy) {
        argv.push_back("-l");
    }
    if (!trustedComment.empty()) {
        argv.insert(argv.end(), {"-t", trustedComment});
    }
    bool exists = false;
    std::string text;
    if (program.empty() || RunToEnd(argv, {}, true) != 0 || (text = ReadFile(sig, &exists), !exists)) {
        return std::nullopt;
    }
    unlink(sig.c_str());
    return text;
}

std::string SignedTrailer(const std::string& signatureText, std::optional<uint32_t> length) {
    const uint32_t n = length.value_or(static_cast<uint32_t>(signatureText.size()));
    std::string out = signatureText;
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>(n >> (8 * i)));
    }
    return out + "~Quillon signature appended~\n";
}

bool WriteSignedFile(const std::string& out, const std::string& payload, const std::string& signatureText) {
    return WriteFile(out, payload + SignedTrailer(signatureText)) && chmod(out.c_str(), 0755) == 0;
}
