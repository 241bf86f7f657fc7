// Appended signatures made with the real minisign tool, checked from a file descriptor and from
// memory, against damaged copies of every part of the format.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "COMMON/BM_SIGN/minisigntext.h"
#include "COMMON/BM_SIGN/payloadhasher.h"
#include "COMMON/BM_SIGN/signaturecheck.h"
#include "tests/support/files.h"
#include "tests/support/minisign_kit.h"
#include "tests/support/scratch_dir.h"

namespace {
constexpr size_t kMagicBytes = 29;
constexpr size_t kTailBytes = 4 + kMagicBytes;

// Lines of a signature text (each without its LF).
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t lf; (lf = text.find('\n', at)) != std::string::npos; at = lf + 1) {
        lines.push_back(text.substr(at, lf - at));
    }
    return lines;
}

std::string Joined(const std::vector<std::string>& lines, const char* end = "\n") {
    std::string text;
    for (const std::string& line : lines) {
        text += line + end;
    }
    return text;
}

std::string Decode(const std::string& b64) {
    std::string out(b64.size(), '\0');
    size_t n = 0;
    EXPECT_EQ(0, sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), b64.data(),
                                   b64.size(), nullptr, &n, nullptr, sodium_base64_VARIANT_ORIGINAL));
    out.resize(n);
    return out;
}

std::string Encode(const std::string& bin) {
    std::string out(sodium_base64_ENCODED_LEN(bin.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bin.data()), bin.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    out.resize(out.size() - 1);
    return out;
}

// Changes byte `at` of the binary behind base64 line `line` of a signature text.
std::string EditDecoded(const std::string& sig, size_t line, size_t at, char value) {
    std::vector<std::string> lines = Lines(sig);
    std::string bin = Decode(lines.at(line));
    bin.at(at) = value;
    lines[line] = Encode(bin);
    return Joined(lines);
}
std::string FlipDecoded(const std::string& sig, size_t line, size_t at) {
    return EditDecoded(sig, line, at, static_cast<char>(Decode(Lines(sig).at(line)).at(at) ^ 0x01));
}

class SignatureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_FALSE(MinisignKit::Program().empty()) << "minisign is not installed (scripts/deps)";
        dir_ = new ScratchDir("quillon-sign");
        kit_ = new MinisignKit(dir_->Path());
        ASSERT_TRUE(kit_->MakeKey("trusted") && kit_->MakeKey("other"));
        // Larger than one read piece, so the streaming hash crosses piece ends.
        payload_ = new std::string(1536 * 1024 + 7, '\0');
        for (size_t i = 0; i < payload_->size(); ++i) {
            (*payload_)[i] = static_cast<char>((i * 2654435761u) >> 13);
        }
        const std::string file = dir_->File("payload");
        ASSERT_TRUE(WriteFile(file, *payload_));
        hashed_ = new std::string(kit_->Sign(file, "trusted", false, "version 1.2.3.4").value_or(""));
        legacy_ = new std::string(kit_->Sign(file, "trusted", true).value_or(""));
        other_ = new std::string(kit_->Sign(file, "other").value_or(""));
        ASSERT_TRUE(WriteFile(dir_->File("tiny"), "tiny"));
        tiny_ = new std::string(kit_->Sign(dir_->File("tiny"), "trusted").value_or(""));
        ASSERT_FALSE(hashed_->empty() || legacy_->empty() || other_->empty() || tiny_->empty());
    }
    static void TearDownTestSuite() {
        for (std::string* s : {payload_, hashed_, legacy_, other_, tiny_}) {
            delete s;
        }
        delete kit_;
        delete dir_;
    }

    static TrustedKeys Trusted() {
        TrustedKeys keys;
        std::string error;
        EXPECT_TRUE(keys.AddKeyFile(kit_->PublicKey("trusted"), &error)) << error;
        return keys;
    }

    // Checks `image` as a download feeds it to the hasher, in the pieces that start at `cuts`
    // (ascending); the result must be the file check's, or none for a legacy signature.
    static void CheckStreamed(const std::string& image, const std::vector<size_t>& cuts,
                              const SignatureCheck& expected, const TrustedKeys& keys,
                              PayloadHasher& hasher) {
        SCOPED_TRACE("pieces from " + std::to_string(cuts.size() > 1 ? cuts[1] : 0));
        const auto* bytes = reinterpret_cast<const uint8_t*>(image.data());
        // Fed from memory, and read back from the file as a download writes it (each piece fed
        // after or, as through a write buffer, before it reaches the file).
        static int round = 0;
        const int mode = round++ % 3;
        const std::string part = dir_->File("part");
        const int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        hasher.Update(bytes, image.size() / 2);  // a download that started again
        if (mode == 0) {
            hasher.Reset();
        } else {
            hasher.ResetFromFile(part);
        }
        for (size_t i = 0; i < cuts.size(); ++i) {
            const size_t end = i + 1 < cuts.size() ? cuts[i + 1] : image.size();
            if (mode == 1) {
                ASSERT_EQ(static_cast<ssize_t>(end - cuts[i]), write(fd, bytes + cuts[i], end - cuts[i]));
            }
            hasher.Update(bytes + cuts[i], end - cuts[i]);
            if (mode == 2) {
                ASSERT_EQ(static_cast<ssize_t>(end - cuts[i]), write(fd, bytes + cuts[i], end - cuts[i]));
            }
        }
        close(fd);
        EXPECT_EQ(image.size(), hasher.BytesFed());
        const std::optional<SignatureCheck> streamed = VerifyStreamedPayload(hasher.Finish(), keys);
        MinisignSignature sig;
        const bool legacy =
            !expected.keyId.empty() &&
            ParseMinisignSignature(
                image.substr(expected.payloadSize, image.size() - expected.payloadSize - kTailBytes), sig,
                nullptr) &&
            !sig.prehashed && keys.Find(sig.keyId) != nullptr;
        ASSERT_EQ(!legacy, streamed.has_value()) << "only legacy signatures need the file";
        if (streamed) {
            EXPECT_EQ(expected.status, streamed->status);
            EXPECT_EQ(expected.why, streamed->why);
            EXPECT_EQ(expected.payloadSize, streamed->payloadSize);
            EXPECT_EQ(expected.keyId, streamed->keyId);
            EXPECT_EQ(expected.trustedComment, streamed->trustedComment);
        }
    }

    // Where a download may cut `size` bytes: around every boundary the hasher keeps, inside each
    // part of the trailer, and 1-byte pieces over the last bytes (or the whole of a short file).
    static std::vector<std::vector<size_t>> Cuts(size_t size) {
        constexpr size_t kKept = PayloadHasher::kKeptBytes;
        std::vector<std::vector<size_t>> all = {{0}};
        for (size_t back : {size_t{1}, size_t{2}, size_t{29}, size_t{31}, size_t{33}, size_t{34}, size_t{100},
                            kKept - 1, kKept, kKept + 1, 2 * kKept, 2 * kKept + 1}) {
            for (size_t cut : {size - std::min(size, back), back}) {
                if (cut > 0 && cut < size) {
                    all.push_back({0, cut});
                }
            }
        }
        all.push_back({0, size / 3, size / 3 + 1, size / 2, size - std::min(size, size_t{40})});
        std::vector<size_t> bytewise = {0};
        for (size_t at = size - std::min(size, 3 * kKept); at < size; ++at) {
            if (at > 0) {
                bytewise.push_back(at);
            }
        }
        all.push_back(bytewise);
        for (std::vector<size_t>& cuts : all) {
            std::sort(cuts.begin(), cuts.end());
            cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
            cuts.erase(
                std::remove_if(cuts.begin() + 1, cuts.end(), [size](size_t cut) { return cut >= size; }),
                cuts.end());
        }
        return all;
    }

    // Checks `image` through a file on disk, from memory and streamed in pieces; all must agree.
    static SignatureCheck Check(const std::string& image) {
        const std::string path = dir_->File("image");
        EXPECT_TRUE(WriteFile(path, image));
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        const TrustedKeys keys = Trusted();
        const SignatureCheck fromFile = VerifySignedFile(fd, keys);
        EXPECT_EQ(0, lseek(fd, 0, SEEK_CUR)) << "the descriptor's offset moved";
        close(fd);
        const SignatureCheck fromMemory =
            VerifySignedImage(reinterpret_cast<const uint8_t*>(image.data()), image.size(), keys);
        EXPECT_EQ(fromFile.status, fromMemory.status);
        EXPECT_EQ(fromFile.why, fromMemory.why);
        static PayloadHasher hasher;  // one, reused, as a reset must leave nothing behind
        for (const std::vector<size_t>& cuts : Cuts(image.size())) {
            CheckStreamed(image, cuts, fromFile, keys, hasher);
        }
        return fromFile;
    }

    static ScratchDir* dir_;
    static MinisignKit* kit_;
    static std::string* payload_;
    static std::string* hashed_;
    static std::string* legacy_;
    static std::string* other_;
    static std::string* tiny_;
};
ScratchDir* SignatureTest::dir_ = nullptr;
MinisignKit* SignatureTest::kit_ = nullptr;
std::string* SignatureTest::payload_ = nullptr;
std::string* SignatureTest::hashed_ = nullptr;
std::string* SignatureTest::legacy_ = nullptr;
std::string* SignatureTest::other_ = nullptr;
std::string* SignatureTest::tiny_ = nullptr;

TEST_F(SignatureTest, EveryDamageIsRefusedWithItsCause) {
    const std::string& p = *payload_;
    const std::string& sig = *hashed_;
    const std::string good = p + SignedTrailer(sig);
    const std::vector<std::string> sigLines = Lines(sig);
    auto flipped = [](std::string image, size_t at) {
        image.at(at) ^= 0x20;
        return image;
    };
    const size_t commentAt = p.size() + sig.find("\ntrusted comment: ") + 20;
    const size_t untrustedAt = p.size() + 22;
    struct Case {
        const char* name;
        std::string image;
        SignatureStatus status;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"good, prehashed", good, SignatureStatus::kValid, ""},
        {"good, legacy over the whole payload", p + SignedTrailer(*legacy_), SignatureStatus::kValid, ""},
        {"good, shorter than the bytes kept back while streaming", "tiny" + SignedTrailer(*tiny_),
         SignatureStatus::kValid, ""},
        {"good, CR LF line ends (minisign trims them)", p + SignedTrailer(Joined(Lines(sig), "\r\n")),
         SignatureStatus::kValid, ""},
        {"unsigned", p, SignatureStatus::kNotSigned, "not signed"},
        {"empty file", "", SignatureStatus::kNotSigned, "not signed"},
        {"trailer cut by one byte", good.substr(0, good.size() - 1), SignatureStatus::kNotSigned,
         "not signed"},
        {"only the magic line", SignedTrailer("").substr(4), SignatureStatus::kBadTrailer,
         "bad trailer: no signature length"},
        {"length 0", p + SignedTrailer(sig, 0), SignatureStatus::kBadTrailer,
         "bad trailer: signature length 0"},
        {"length over 4096", p + SignedTrailer(sig, 4097), SignatureStatus::kBadTrailer,
         "bad trailer: signature length 4097"},
        {"length 0xFFFFFFFF", p + SignedTrailer(sig, 0xFFFFFFFFu), SignatureStatus::kBadTrailer,
         "bad trailer: signature length 4294967295"},
        {"length beyond the file", "tiny" + SignedTrailer(*tiny_, static_cast<uint32_t>(tiny_->size() + 5)),
         SignatureStatus::kBadTrailer,
         "bad trailer: signature length " + std::to_string(tiny_->size() + 5) + " beyond the file"},
        {"length one too long", p + SignedTrailer(sig, static_cast<uint32_t>(sig.size() + 1)),
         SignatureStatus::kBadSignatureText, "bad signature text: line 1 is not \"untrusted comment: ...\""},
        {"length one too short", p + SignedTrailer(sig, static_cast<uint32_t>(sig.size() - 1)),
         SignatureStatus::kBadSignatureText, "bad signature text: line 1 is not \"untrusted comment: ...\""},
        {"bad base64", p + SignedTrailer(EditDecoded(sig, 1, 0, 'E').replace(sig.find('\n') + 5, 1, "*")),
         SignatureStatus::kBadSignatureText,
         "bad signature text: line 2 is not base64 of a minisign signature"},
        {"global signature line missing", p + SignedTrailer(Joined({sigLines[0], sigLines[1], sigLines[2]})),
         SignatureStatus::kBadSignatureText, "bad signature text: fewer than four complete lines"},
        {"a fifth line", p + SignedTrailer(sig + "\n"), SignatureStatus::kBadSignatureText,
         "bad signature text: more than four lines"},
        {"unknown algorithm", p + SignedTrailer(EditDecoded(sig, 1, 1, 'X')),
         SignatureStatus::kBadSignatureText, "bad signature text: unknown signature algorithm"},
        {"NUL in the untrusted comment", p + SignedTrailer(std::string(sig).replace(3, 1, 1, '\0')),
         SignatureStatus::kBadSignatureText, "bad signature text: holds a NUL byte"},
        {"other key", p + SignedTrailer(*other_), SignatureStatus::kUnknownKey,
         "unknown key " + kit_->KeyId("other")},
        {"flipped first payload byte", flipped(good, 0), SignatureStatus::kDoesNotVerify,
         "signature does not verify"},
        {"flipped last payload byte", flipped(good, p.size() - 1), SignatureStatus::kDoesNotVerify,
         "signature does not verify"},
        {"flipped payload byte, legacy", flipped(p + SignedTrailer(*legacy_), 1 << 20),
         SignatureStatus::kDoesNotVerify, "signature does not verify"},
        {"flipped signature byte", p + SignedTrailer(FlipDecoded(sig, 1, 40)),
         SignatureStatus::kDoesNotVerify, "signature does not verify"},
        {"prehashed marked legacy", p + SignedTrailer(EditDecoded(sig, 1, 1, 'd')),
         SignatureStatus::kDoesNotVerify, "signature does not verify"},
        {"other key's signature under the trusted id",
         p + SignedTrailer(
                 Joined({Lines(*other_)[0],
                         Encode(Decode(Lines(*other_)[1]).replace(2, 8, Decode(Lines(sig)[1]).substr(2, 8))),
                         Lines(*other_)[2], Lines(*other_)[3]})),
         SignatureStatus::kDoesNotVerify, "signature does not verify"},
        {"flipped untrusted comment byte (not signed)", flipped(good, untrustedAt), SignatureStatus::kValid,
         ""},
        {"flipped trusted comment byte", flipped(good, commentAt), SignatureStatus::kDoesNotVerify,
         "trusted comment does not verify"},
        {"flipped global signature byte", p + SignedTrailer(FlipDecoded(sig, 3, 63)),
         SignatureStatus::kDoesNotVerify, "trusted comment does not verify"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SignatureCheck check = Check(c.image);
        EXPECT_EQ(c.status, check.status);
        EXPECT_EQ(c.why, check.why);
        if (check.Valid()) {
            EXPECT_EQ(c.image.size() < p.size() ? 4u : p.size(), check.payloadSize);
            EXPECT_EQ(kit_->KeyId("trusted"), check.keyId);
        } else {
            EXPECT_EQ("no valid signature: " + c.why, check.Cause());
        }
    }
    EXPECT_EQ("version 1.2.3.4", Check(good).trustedComment);
}

TEST_F(SignatureTest, AFileThatIsNoRegularFileIsNotRead) {
    const int fd = open(dir_->Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const SignatureCheck check = VerifySignedFile(fd, Trusted());
    close(fd);
    EXPECT_EQ(SignatureStatus::kReadError, check.status);
    EXPECT_EQ("not a regular file", check.why);
}

TEST_F(SignatureTest, KeyFilesAndFolders) {
    const std::string pub = ReadFile(kit_->PublicKey("trusted"));
    const std::vector<std::string> lines = Lines(pub);
    const std::string keyLine = lines.at(1);
    struct Case {
        const char* name;
        std::string text;
        std::string error;  // "" when it parses
    };
    const std::vector<Case> keyTexts = {
        {"as minisign writes it", pub, ""},
        {"CR LF", Joined(lines, "\r\n"), ""},
        {"trailing empty line", pub + "\n", ""},
        {"no final line end", lines[0] + "\n" + keyLine, ""},
        {"empty", "", "first line is not \"untrusted comment: ...\""},
        {"no comment", keyLine + "\n", "first line is not \"untrusted comment: ...\""},
        {"no key line", lines[0] + "\n", "no key line"},
        {"third line", pub + "junk\n", "more than two lines"},
        {"bad base64", lines[0] + "\n" + keyLine.substr(1) + "\n",
         "second line is not base64 of a minisign public key"},
        {"a signature instead", Joined({Lines(*hashed_)[0], Lines(*hashed_)[1]}),
         "second line is not base64 of a minisign public key"},
        {"not Ed25519", lines[0] + "\n" + Encode("EX" + Decode(keyLine).substr(2)) + "\n",
         "not an Ed25519 key"},
        {"too large", pub + std::string(4096, '\n'), "larger than 4096 bytes"},
    };
    for (const Case& c : keyTexts) {
        SCOPED_TRACE(c.name);
        ScratchDir folder;
        ASSERT_TRUE(WriteFile(folder.File("a.pub"), c.text));
        TrustedKeys keys;
        std::string error;
        EXPECT_EQ(c.error.empty(), keys.LoadFolder(folder.Path(), &error));
        EXPECT_EQ(c.error.empty() ? "" : folder.File("a.pub") + ": " + c.error, error);
        EXPECT_EQ(c.error.empty() ? 1u : 0u, keys.Size());
    }

    // Folders: what counts as a key file, and what is a configuration error.
    ScratchDir root;
    const std::string other = ReadFile(kit_->PublicKey("other"));
    struct FolderCase {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;  // name, text ("/" makes a folder)
        size_t keys;
        std::string errorFile;  // "" when it loads
        std::string cause;
    };
    const std::vector<FolderCase> folders = {
        {"empty folder", {}, 0, "", ""},
        {"two keys, other files ignored",
         {{"a.pub", pub},
          {"b.pub", other},
          {"a.sec", "x"},
          {"README", "x"},
          {".hidden.pub", "x"},
          {".pub", "x"}},
         2,
         "",
         ""},
        {"one key twice", {{"a.pub", pub}, {"copy.pub", pub}}, 1, "", ""},
        {"a broken key among good ones",
         {{"a.pub", pub}, {"b.pub", "garbage\n"}},
         0,
         "b.pub",
         "first line is not \"untrusted comment: ...\""},
        {"a folder named .pub", {{"a.pub", pub}, {"sub.pub", "/"}}, 0, "sub.pub", "not a regular file"},
        {"one id, two keys",
         {{"a.pub", pub}, {"b.pub", lines[0] + "\n" + Encode(Decode(keyLine).replace(12, 1, "!")) + "\n"}},
         0,
         "b.pub",
         "key id " + kit_->KeyId("trusted") + " is already trusted with another key"},
    };
    for (const FolderCase& c : folders) {
        SCOPED_TRACE(c.name);
        ScratchDir folder;
        for (const auto& [name, text] : c.files) {
            ASSERT_TRUE(text == "/" ? mkdir(folder.File(name).c_str(), 0700) == 0
                                    : WriteFile(folder.File(name), text));
        }
        TrustedKeys keys;
        std::string error;
        const bool loaded = keys.LoadFolder(folder.Path(), &error);
        EXPECT_EQ(c.errorFile.empty(), loaded) << error;
        if (loaded) {
            EXPECT_EQ(c.keys, keys.Size());
        } else {
            EXPECT_EQ(folder.File(c.errorFile) + ": " + c.cause, error);
        }
        if (!c.files.empty()) {
            for (const auto& [name, text] : c.files) {
                text == "/" ? (void)rmdir(folder.File(name).c_str())
                            : (void)unlink(folder.File(name).c_str());
            }
        }
    }
    TrustedKeys keys;
    std::string error;
    EXPECT_TRUE(keys.LoadFolder(root.File("missing"), &error)) << "a missing folder holds no keys";
    EXPECT_TRUE(keys.Empty());
    ASSERT_TRUE(WriteFile(root.File("plain"), "x"));
    EXPECT_FALSE(keys.LoadFolder(root.File("plain"), &error));
    EXPECT_EQ(root.File("plain") + ": Not a directory", error);
}
}  // namespace

namespace {
TEST(KeyId, PrintedAsMinisignPrintsIt) {
    // Little-endian, upper case, no leading zeros: the first row's id is what minisign wrote
    // into the comment of the key file these bytes came from.
    const struct {
        uint8_t id[8];
        const char* text;
    } rows[] = {{{0x1a, 0xe4, 0xae, 0x63, 0xb8, 0xa2, 0x92, 0x0a}, "A92A2B863AEE41A"},
                {{0x0e, 0x69, 0x5b, 0x98, 0xf1, 0x7b, 0x41, 0x5c}, "5C417BF1985B690E"},
                {{0, 0, 0, 0, 0, 0, 0, 0}, "0"}};
    for (const auto& row : rows) {
        EXPECT_EQ(row.text, FormatKeyId(row.id));
    }
}
}  // namespace
