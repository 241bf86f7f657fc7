// quillon-sign: attaches a minisign signature file to an executable (PAYLOAD || SIG || LEN ||
// MAGIC), checks a file as the launcher does, and takes the signature off again. It never sees a
// secret key: signing is minisign's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "COMMON/BM_SIGN/signaturecheck.h"
#include "COMMON/BM_SIGN/signaturetrailer.h"

namespace {
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr size_t kCopyPiece = 1 << 20;
constexpr const char kUsage[] =
    "usage: quillon-sign append FILE SIG -o OUT\n"
    "       quillon-sign verify FILE (-p KEY.pub | -d FOLDER)...\n"
    "       quillon-sign strip FILE -o OUT [-x SIG]\n"
    "append  writes OUT: FILE followed by the minisign signature file SIG (made with\n"
    "        minisign -S -s KEY -m FILE), its length and the line \"~Quillon signature appended~\".\n"
    "verify  checks FILE's appended signature against the public key files given (-p) or every\n"
    "        *.pub file of a folder (-d), as the launcher does, and says why it fails.\n"
    "strip   writes FILE without its signature to OUT (and the signature to SIG with -x), so that\n"
    "        minisign -Vm OUT -x SIG -p KEY.pub can confirm it.\n"
    "Exit status 0 when done (verify: the signature is good), 1 when not, 2 on a bad command line\n"
    "or key file.\n";

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) {
            close(fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

int Fail(const std::string& text) {
    std::fprintf(stderr, "quillon-sign: %s\n", text.c_str());
    return kExitFailed;
}

std::string Errno() {
    return std::strerror(errno);
}

bool WriteAll(int fd, const char* data, size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, data, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// Copies `count` bytes from the start of `in` to `out`.
bool CopyPrefix(int in, uint64_t count, int out) {
    std::vector<char> piece(kCopyPiece);
    for (uint64_t at = 0; at < count;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(count - at, piece.size()));
        const ssize_t n = pread(in, piece.data(), want, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || !WriteAll(out, piece.data(), static_cast<size_t>(n))) {
            return false;
        }
        at += static_cast<uint64_t>(n);
    }
    return true;
}

// Writes `out` through a temporary file beside it, so that OUT may be FILE itself and a failed
// run leaves no half file. `fill` writes the content to the descriptor it is given.
template <typename Fill>
bool WriteReplacing(const std::string& out, mode_t mode, Fill fill, std::string* why) {
    const std::string temp = out + ".quillon-sign-tmp";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, mode & 07777);
    if (fd < 0) {
        *why = temp + ": " + Errno();
        return false;
    }
    bool ok = fill(fd) && fchmod(fd, mode & 07777) == 0 && fsync(fd) == 0;
    const int saved = errno;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), out.c_str()) != 0) {
        *why = out + ": " + (ok ? Errno() : std::strerror(saved));
        unlink(temp.c_str());
        return false;
    }
    return true;
}

// Opens FILE for reading and reads its trailer layout.
bool OpenWithLayout(const std::string& path, Fd& fd, struct stat& st, TrailerLayout& layout,
                    std::string* why) {
    fd.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0) {
        *why = path + ": " + Errno();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = path + ": not a regular file";
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const size_t tailSize = static_cast<size_t>(std::min<uint64_t>(size, kTrailerTailBytes));
    uint8_t tail[kTrailerTailBytes];
    if (pread(fd.fd, tail, tailSize, static_cast<off_t>(size - tailSize)) != static_cast<ssize_t>(tailSize)) {
        *why = path + ": cannot read its end";
        return false;
    }
    layout = ParseTrailerTail(tail, tailSize, size);
    return true;
}

int Append(const std::string& file, const std::string& sigPath, const std::string& out) {
    std::string why;
    Fd sigFd(open(sigPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    std::string text(kMaxSignatureTextBytes + 1, '\0');
    const ssize_t n = sigFd.fd < 0 ? -1 : read(sigFd.fd, text.data(), text.size());
    if (n < 0) {
        return Fail(sigPath + ": " + Errno());
    }
    text.resize(static_cast<size_t>(n));
    MinisignSignature sig;
    if (!ParseMinisignSignature(text, sig, &why)) {
        return Fail(sigPath + ": not a minisign signature file: " + why);
    }
    Fd in(-1);
    struct stat st {};
    TrailerLayout layout;
    if (!OpenWithLayout(file, in, st, layout, &why)) {
        return Fail(why);
    }
    if (layout.kind != TrailerKind::kUnsigned) {
        return Fail(file + ": already carries a signature (take it off with quillon-sign strip first)");
    }
    const std::string trailer = MakeTrailer(text);
    const bool ok = WriteReplacing(
        out, st.st_mode,
        [&](int fd) {
            return CopyPrefix(in.fd, static_cast<uint64_t>(st.st_size), fd) &&
                   WriteAll(fd, trailer.data(), trailer.size());
        },
        &why);
    if (!ok) {
        return Fail(why);
    }
    std::printf("%s: signature of key %s appended (%zu bytes)\n", out.c_str(), FormatKeyId(sig.keyId).c_str(),
                text.size());
    return kExitDone;
}

int Strip(const std::string& file, const std::string& out, const std::string& sigOut) {
    std::string why;
    Fd in(-1);
    struct stat st {};
    TrailerLayout layout;
    if (!OpenWithLayout(file, in, st, layout, &why)) {
        return Fail(why);
    }
    if (layout.kind != TrailerKind::kSigned) {
        return Fail(file + ": " + (layout.kind == TrailerKind::kUnsigned ? "not signed" : layout.why));
    }
    std::string text(layout.signatureSize, '\0');
    if (pread(in.fd, text.data(), text.size(), static_cast<off_t>(layout.payloadSize)) !=
        static_cast<ssize_t>(text.size())) {
        return Fail(file + ": cannot read its signature");
    }
    if (!WriteReplacing(
            out, st.st_mode, [&](int fd) { return CopyPrefix(in.fd, layout.payloadSize, fd); }, &why) ||
        (!sigOut.empty() &&
         !WriteReplacing(
             sigOut, 0644, [&](int fd) { return WriteAll(fd, text.data(), text.size()); }, &why))) {
        return Fail(why);
    }
    std::printf("%s: %llu bytes without the signature\n", out.c_str(),
                static_cast<unsigned long long>(layout.payloadSize));
    return kExitDone;
}

int Verify(const std::string& file, const std::vector<std::string>& keyFiles,
           const std::vector<std::string>& folders) {
    TrustedKeys keys;
    std::string error;
    for (const std::string& path : keyFiles) {
        if (!keys.AddKeyFile(path, &error)) {
            std::fprintf(stderr, "quillon-sign: %s\n", error.c_str());
            return kExitUsage;
        }
    }
    for (const std::string& folder : folders) {
        if (!keys.LoadFolder(folder, &error)) {
            std::fprintf(stderr, "quillon-sign: %s\n", error.c_str());
            return kExitUsage;
        }
    }
    if (keys.Empty()) {
        std::fprintf(stderr, "quillon-sign: no trusted key given (no *.pub file in %s)\n",
                     folders.empty() ? "-" : folders.front().c_str());
        return kExitUsage;
    }
    Fd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.fd < 0) {
        return Fail(file + ": " + Errno());
    }
    const SignatureCheck check = VerifySignedFile(fd.fd, keys);
    if (!check.Valid()) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(), check.Cause().c_str());
        return kExitFailed;
    }
    std::printf("%s: signature good, key %s, %llu bytes signed\ntrusted comment: %s\n", file.c_str(),
                check.keyId.c_str(), static_cast<unsigned long long>(check.payloadSize),
                check.trustedComment.c_str());
    return kExitDone;
}

int Usage() {
    std::fputs(kUsage, stderr);
    return kExitUsage;
}
}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--help") {
        std::fputs(kUsage, stdout);
        return kExitDone;
    }
    if (args.size() < 2) {
        return Usage();
    }
    const std::string& command = args[0];
    std::vector<std::string> plain;
    std::string out;
    std::string sigOut;
    std::vector<std::string> keyFiles;
    std::vector<std::string> folders;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "-o" && hasValue) {
            out = args[++i];
        } else if (arg == "-x" && hasValue) {
            sigOut = args[++i];
        } else if (arg == "-p" && hasValue) {
            keyFiles.push_back(args[++i]);
        } else if (arg == "-d" && hasValue) {
            folders.push_back(args[++i]);
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage();
        } else {
            plain.push_back(arg);
        }
    }
    if (command == "append" && plain.size() == 2 && !out.empty() && sigOut.empty() && keyFiles.empty() &&
        folders.empty()) {
        return Append(plain[0], plain[1], out);
    }
    if (command == "strip" && plain.size() == 1 && !out.empty() && keyFiles.empty() && folders.empty()) {
        return Strip(plain[0], out, sigOut);
    }
    if (command == "verify" && plain.size() == 1 && out.empty() && sigOut.empty() &&
        (!keyFiles.empty() || !folders.empty())) {
        return Verify(plain[0], keyFiles, folders);
    }
    return Usage();
}
