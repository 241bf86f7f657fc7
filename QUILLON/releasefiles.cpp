#include "QUILLON/releasefiles.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>
#include <vector>

#include "QUILLON/statusecho.h"

namespace {
constexpr size_t kHashChunkBytes = 64 * 1024;
constexpr size_t kSha256HexChars = 64;
constexpr size_t kTimeChars = 20;  // 2026-12-09T21:04:05Z
constexpr char kKeyVersion[] = "version";
constexpr char kKeySha256[] = "sha256";
constexpr char kKeyQuickEnds[] = "quick-ends";
constexpr char kKeyReason[] = "reason";
constexpr char kKeyTime[] = "time";
constexpr char kKeyReported[] = "reported";
constexpr char kYes[] = "yes";
constexpr char kNo[] = "no";

using Fields = std::map<std::string, std::string>;

bool Printable(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) {
            return false;
        }
    }
    return true;
}

bool Reject(std::string* why, const std::string& cause) {
    if (why != nullptr) {
        *why = cause;
    }
    return false;
}

// Splits a record into its fields; only `allowed` keys, each once.
bool SplitRecord(std::string_view text, const std::vector<std::string>& allowed, Fields* fields,
                 std::string* why) {
    if (text.size() > kMaxRecordBytes) {
        return Reject(why, "longer than " + std::to_string(kMaxRecordBytes) + " bytes");
    }
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (!Printable(line)) {
            return Reject(why, "control character");
        }
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            return Reject(why, "line without '='");
        }
        const std::string key(line.substr(0, eq));
        bool known = false;
        for (const std::string& name : allowed) {
            known = known || name == key;
        }
        if (!known) {
            return Reject(why, "unknown key '" + key.substr(0, 32) + "'");
        }
        if (!fields->emplace(key, std::string(line.substr(eq + 1))).second) {
            return Reject(why, "repeated key '" + key + "'");
        }
    }
    for (const std::string& name : allowed) {
        if (fields->count(name) == 0) {
            return Reject(why, "no " + name);
        }
    }
    return true;
}

bool CheckVersion(const std::string& version, std::string* why) {
    if (version.empty() || version.size() > kMaxRecordVersionChars) {
        return Reject(why, "bad version");
    }
    return true;
}

bool CheckSha256(const std::string& hex, std::string* why) {
    bool ok = hex.size() == kSha256HexChars;
    for (const char c : hex) {
        ok = ok && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    }
    return ok || Reject(why, "bad sha256");
}

// Decimal 0..`max`, digits only.
bool ParseCount(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > 19) {
        return false;
    }
    uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = result;
    return result <= max;
}

std::string FormatTime(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc {};
    char text[32] = "";
    if (gmtime_r(&t, &utc) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
        return "1970-01-01T00:00:00Z";
    }
    return text;
}

bool ParseTime(const std::string& text, int64_t* seconds) {
    if (text.size() != kTimeChars) {
        return false;
    }
    struct tm utc {};
    const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    if (end == nullptr || *end != '\0') {
        return false;
    }
    const time_t t = timegm(&utc);
    if (t < 0) {
        return false;
    }
    *seconds = static_cast<int64_t>(t);
    return true;
}

// Reads a whole small regular file; false with `why` when it is absent (`absent` set), not a
// regular file or too large.
bool ReadSmallFile(const std::string& path, std::string* text, bool* absent, std::string* why) {
    *absent = false;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        *absent = errno == ENOENT;
        return Reject(why, std::strerror(errno));
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return Reject(why, "not a regular file");
    }
    char buffer[kMaxRecordBytes + 1];
    size_t size = 0;
    while (size < sizeof buffer) {
        const ssize_t got = read(fd, buffer + size, sizeof buffer - size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            close(fd);
            return Reject(why, std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        size += static_cast<size_t>(got);
    }
    close(fd);
    text->assign(buffer, size);
    return true;
}

template <typename Record>
std::optional<Record> ReadRecord(const std::string& path,
                                 std::optional<Record> (*parse)(std::string_view, std::string*)) {
    std::string text;
    std::string why;
    bool absent = false;
    std::optional<Record> record;
    if (ReadSmallFile(path, &text, &absent, &why)) {
        record = parse(text, &why);
    } else if (absent) {
        return std::nullopt;
    }
    if (!record) {
        EchoDiagnosticLine("quillon: " + path + ": damaged record ignored (" + why + ")");
    }
    return record;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}
}  // namespace

std::string FormatTrial(const TrialRecord& record) {
    return "# a new version on trial: it fails when it ends within 10 s of its start 3 times in a row\n" +
           std::string(kKeyVersion) + "=" + record.version + "\n" + kKeySha256 + "=" + record.sha256 + "\n" +
           kKeyQuickEnds + "=" + std::to_string(record.quickEnds) + "\n";
}

std::optional<TrialRecord> ParseTrial(std::string_view text, std::string* why) {
    Fields fields;
    if (!SplitRecord(text, {kKeyVersion, kKeySha256, kKeyQuickEnds}, &fields, why)) {
        return std::nullopt;
    }
    TrialRecord record;
    record.version = fields[kKeyVersion];
    record.sha256 = fields[kKeySha256];
    uint64_t count = 0;
    if (!CheckVersion(record.version, why) || !CheckSha256(record.sha256, why)) {
        return std::nullopt;
    }
    if (!ParseCount(fields[kKeyQuickEnds], kMaxRecordQuickEnds, &count)) {
        Reject(why, "bad quick-ends");
        return std::nullopt;
    }
    record.quickEnds = static_cast<uint32_t>(count);
    return record;
}

std::string FormatRefused(const RefusedRecord& record) {
    std::string reason = record.reason.substr(0, kMaxRecordReasonChars);
    for (char& c : reason) {
        c = Printable(std::string_view(&c, 1)) ? c : '?';
    }
    return "# a release that was rolled back: not taken again while the gateway offers it\n" +
           std::string(kKeyVersion) + "=" + record.version + "\n" + kKeySha256 + "=" + record.sha256 + "\n" +
           kKeyReason + "=" + reason + "\n" + kKeyTime + "=" + FormatTime(record.time) + "\n" + kKeyReported +
           "=" + (record.reported ? kYes : kNo) + "\n";
}

std::optional<RefusedRecord> ParseRefused(std::string_view text, std::string* why) {
    Fields fields;
    if (!SplitRecord(text, {kKeyVersion, kKeySha256, kKeyReason, kKeyTime, kKeyReported}, &fields, why)) {
        return std::nullopt;
    }
    RefusedRecord record;
    record.version = fields[kKeyVersion];
    record.sha256 = fields[kKeySha256];
    record.reason = fields[kKeyReason];
    if (!CheckVersion(record.version, why) || !CheckSha256(record.sha256, why)) {
        return std::nullopt;
    }
    if (record.reason.size() > kMaxRecordReasonChars) {
        Reject(why, "reason too long");
        return std::nullopt;
    }
    if (!ParseTime(fields[kKeyTime], &record.time)) {
        Reject(why, "bad time");
        return std::nullopt;
    }
    if (fields[kKeyReported] != kYes && fields[kKeyReported] != kNo) {
        Reject(why, "bad reported");
        return std::nullopt;
    }
    record.reported = fields[kKeyReported] == kYes;
    return record;
}

std::string Sha256OfFd(int fd) {
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || sodium_init() < 0) {
        return "";
    }
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    std::vector<unsigned char> chunk(kHashChunkBytes);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = pread(fd, chunk.data(), chunk.size(), offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return "";
        }
        if (got == 0) {
            break;
        }
        crypto_hash_sha256_update(&state, chunk.data(), static_cast<unsigned long long>(got));
        offset += got;
    }
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state, digest);
    char hex[crypto_hash_sha256_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

std::string Sha256OfFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return "";
    }
    std::string hex = Sha256OfFd(fd);
    close(fd);
    return hex;
}

ReleaseFiles::ReleaseFiles(std::string installed) : installed_(std::move(installed)) {}

std::string ReleaseFiles::Folder() const {
    const size_t slash = installed_.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : installed_.substr(0, slash);
}

std::optional<TrialRecord> ReleaseFiles::ReadTrial() const {
    return ReadRecord<TrialRecord>(TrialPath(), ParseTrial);
}

bool ReleaseFiles::WriteTrial(const TrialRecord& record) {
    return WriteAtomically(TrialPath(), FormatTrial(record));
}

bool ReleaseFiles::RemoveTrial() {
    return Remove(TrialPath());
}

std::optional<RefusedRecord> ReleaseFiles::ReadRefused() const {
    return ReadRecord<RefusedRecord>(RefusedPath(), ParseRefused);
}

bool ReleaseFiles::WriteRefused(const RefusedRecord& record) {
    return WriteAtomically(RefusedPath(), FormatRefused(record));
}

bool ReleaseFiles::RemoveRefused() {
    return Remove(RefusedPath());
}

bool ReleaseFiles::KeepPrevious() {
    struct stat info {};
    if (lstat(installed_.c_str(), &info) != 0) {
        return errno == ENOENT || Fail(installed_);
    }
    if (unlink(Previous().c_str()) != 0 && errno != ENOENT) {
        return Fail(Previous());
    }
    return link(installed_.c_str(), Previous().c_str()) == 0 || Fail(Previous());
}

bool ReleaseFiles::Replace(const std::string& part) {
    return std::rename(part.c_str(), installed_.c_str()) == 0 || Fail(installed_);
}

bool ReleaseFiles::SyncFolder() {
    const std::string folder = Folder();
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return Fail(folder);
    }
    const bool synced = fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    errno = saved;
    return synced || Fail(folder);
}

bool ReleaseFiles::RestorePrevious() {
    if (std::rename(Previous().c_str(), installed_.c_str()) != 0) {
        return Fail(Previous());
    }
    // Both names for one file: rename leaves both in place.
    return Remove(Previous());
}

bool ReleaseFiles::HasPrevious() const {
    struct stat info {};
    return lstat(Previous().c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void ReleaseFiles::RemoveTemporaries() {
    unlink((TrialPath() + kTempSuffix).c_str());
    unlink((RefusedPath() + kTempSuffix).c_str());
}

bool ReleaseFiles::WriteAtomically(const std::string& path, const std::string& text) {
    const std::string temp = path + kTempSuffix;
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return Fail(temp);
    }
    const bool written = WriteAll(fd, text) && fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    if (!written) {
        errno = saved;
        Fail(temp);
        unlink(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        Fail(path);
        unlink(temp.c_str());
        return false;
    }
    return SyncFolder();
}

bool ReleaseFiles::Remove(const std::string& path) {
    return unlink(path.c_str()) == 0 || errno == ENOENT || Fail(path);
}

bool ReleaseFiles::Fail(const std::string& path) {
    error_ = path + ": " + std::strerror(errno);
    return false;
}
