// The files of safe updates beside the installed executable (host path `TORVIX.EXE`):
//   TORVIX.EXE.previous  the version before the last install (a hard link, no copy)
//   TORVIX.EXE.trial     the version on trial: version text, SHA-256, count of quick ends
//   TORVIX.EXE.refused   a release that was rolled back: version text, SHA-256, reason, time,
//                        whether the gateway was told
// The records are short "key=value" text files written atomically (temporary file, fsync,
// rename, fsync of the folder) and read as untrusted input: a damaged record counts as absent
// and is reported once on standard error. Also the file steps of an install and a roll back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The version on trial. It applies only while the installed file's SHA-256 equals `sha256`, so
// a record written just before an install that never happened is harmless.
struct TrialRecord {
    std::string version;
    std::string sha256;  // 64 lowercase hex digits
    uint32_t quickEnds = 0;
    bool operator==(const TrialRecord&) const = default;
};

// A release that was rolled back and is not taken again while the gateway offers it.
struct RefusedRecord {
    std::string version;
    std::string sha256;
    std::string reason;
    int64_t time = 0;       // seconds since 1970 (UTC)
    bool reported = false;  // the gateway was told (its event report was sent)
    bool operator==(const RefusedRecord&) const = default;
};

constexpr size_t kMaxRecordBytes = 4096;
constexpr size_t kMaxRecordVersionChars = 63;
constexpr size_t kMaxRecordReasonChars = 200;
constexpr uint32_t kMaxRecordQuickEnds = 1000;

// The record texts. Parse returns nothing, with the cause in `why` (may be null), for any text
// that is not exactly one well-formed record: unknown or repeated keys, a missing key, a value
// out of its bounds, control characters, more than kMaxRecordBytes. Lines starting with '#' are
// comments.
std::string FormatTrial(const TrialRecord& record);
std::optional<TrialRecord> ParseTrial(std::string_view text, std::string* why);
std::string FormatRefused(const RefusedRecord& record);
std::optional<RefusedRecord> ParseRefused(std::string_view text, std::string* why);

// SHA-256 of the open file `fd` (read from its start to its end) or of the file at `path`, as 64
// lowercase hex digits; "" when it cannot be read or is not a regular file. Blocks while it reads.
std::string Sha256OfFd(int fd);
std::string Sha256OfFile(const std::string& path);

class ReleaseFiles {
public:
    static constexpr const char* kPreviousSuffix = ".previous";
    static constexpr const char* kTrialSuffix = ".trial";
    static constexpr const char* kRefusedSuffix = ".refused";
    static constexpr const char* kTempSuffix = ".tmp";
    // The download beside the executable, as the installer names it (kDownloadSuffix).
    static constexpr const char* kPartSuffix = ".download";

    // `installed`: host path of the installed executable; the others are named from it.
    explicit ReleaseFiles(std::string installed);

    const std::string& Installed() const { return installed_; }
    std::string Previous() const { return installed_ + kPreviousSuffix; }
    std::string TrialPath() const { return installed_ + kTrialSuffix; }
    std::string RefusedPath() const { return installed_ + kRefusedSuffix; }
    std::string PartPath() const { return installed_ + kPartSuffix; }
    // The folder holding all of them.
    std::string Folder() const;

    // The records. Read: nothing when the file is absent (silently) or damaged (one stderr line
    // "quillon: <path>: damaged record ignored (<why>)"). Write: atomically, the folder synced;
    // false with LastError() on failure. Remove: absent counts as removed.
    std::optional<TrialRecord> ReadTrial() const;
    bool WriteTrial(const TrialRecord& record);
    bool RemoveTrial();
    std::optional<RefusedRecord> ReadRefused() const;
    bool WriteRefused(const RefusedRecord& record);
    bool RemoveRefused();

    // Install step: keeps the installed executable as the previous one by a hard link (an older
    // previous is unlinked first). True, doing nothing, when nothing is installed.
    bool KeepPrevious();
    // Install step: renames `part` over the installed executable.
    bool Replace(const std::string& part);
    // Makes the renames and unlinks in the folder durable (fsync of the folder).
    bool SyncFolder();
    // Roll back: renames the previous executable over the installed one; no previous is left.
    bool RestorePrevious();
    bool HasPrevious() const;
    // Removes leftover temporary record files of an interrupted write.
    void RemoveTemporaries();

    // "<path>: <reason>" of the last failed step.
    const std::string& LastError() const { return error_; }

private:
    bool WriteAtomically(const std::string& path, const std::string& text);
    bool Remove(const std::string& path);
    bool Fail(const std::string& path);

    std::string installed_;
    std::string error_;
};
