// Test helper: test keys and signatures made with the real minisign tool (keys without a
// password, in a folder of the caller's), and signed files put together byte by byte as the
// format says -- independently of the program's own code, so that a fault there cannot hide.
//
//   MinisignKit kit(dir.Path());
//   kit.MakeKey("trusted");                       // trusted.pub, trusted.sec
//   auto sig = kit.Sign(file, "trusted");         // the signature file's text
//   WriteFile(out, ReadFile(file) + SignedTrailer(*sig));
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class MinisignKit {
public:
    explicit MinisignKit(std::string folder) : folder_(std::move(folder)) {}

    // The minisign program on PATH, or "" when it is not installed.
    static std::string Program();

    // Makes the key pair <name>.pub / <name>.sec in the folder (replacing one of that name).
    bool MakeKey(const std::string& name) const;
    std::string PublicKey(const std::string& name) const { return folder_ + "/" + name + ".pub"; }
    std::string SecretKey(const std::string& name) const { return folder_ + "/" + name + ".sec"; }
    // The key id minisign printed into the public key file's comment ("" when not found).
    std::string KeyId(const std::string& name) const;

    // Signs `file` with key `name` (legacy: the "Ed" form over the whole file) and returns the
    // signature file's text, or nothing when minisign failed.
    std::optional<std::string> Sign(const std::string& file, const std::string& name, bool legacy = false,
                                    const std::string& trustedComment = "") const;

private:
    std::string folder_;
};

// SIG || LEN (32-bit little-endian) || "~Quillon signature appended~\n", with LEN as given (by
// default the text's own length).
std::string SignedTrailer(const std::string& signatureText, std::optional<uint32_t> length = std::nullopt);

// Writes `payload` followed by the trailer of `signatureText` to `out` (mode 0755).
bool WriteSignedFile(const std::string& out, const std::string& payload, const std::string& signatureText);
