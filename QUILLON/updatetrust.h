// UpdateTrust: which executables the launcher may install and start. With one or more trusted
// keys (the *.pub files of QUILLON_TRUSTED_KEYS) checking is on: a download is installed, and the
// installed file started, only when its appended signature verifies against one of them. With
// none, nothing is checked. A key folder that could not be loaded leaves checking on with no key,
// so that every file is refused rather than none checked.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>

#include "COMMON/BM_SIGN/signaturecheck.h"
#include "COMMON/BM_SIGN/trustedkeys.h"

class UpdateTrust {
public:
    // The start of every failure cause a refused signature gives ("no valid signature: ...").
    static constexpr const char kRefusalPrefix[] = "no valid signature: ";

    // Loads the keys of `folder`. False, with `problem` naming the file and the cause, when one
    // cannot be read or parsed. Reads small files only.
    bool Load(const std::string& folder, std::string* problem);
    // True when files are checked.
    bool CheckingOn() const { return failed_ || !keys_.Empty(); }
    const std::string& Folder() const { return folder_; }
    size_t KeyCount() const { return keys_.Size(); }
    // The line said once at start while checking is off; "" while it is on.
    std::string StartNote() const;

    // Checks the file open on `fd` (its offset is left alone). Blocks while it reads the file.
    SignatureCheck Check(int fd) const;
    // The same from the hash taken while the file was written; nothing when the file itself must
    // be read (see VerifyStreamedPayload). Does not block.
    std::optional<SignatureCheck> CheckStreamed(const StreamedPayload& streamed) const;
    // The installed file at `path` is valid, or checking is off. Remembers the last file found
    // valid by its identity (device, inode, size, modification and change time), so that the
    // version check reads an unchanged file once (a change within the same file-time tick goes
    // unseen here; every start checks the file in full). False, with the cause, otherwise.
    bool InstalledFileValid(const std::string& path, std::string* cause);

    // The file now at `path` was checked before it was renamed there (the installer's gate): the
    // next InstalledFileValid need not read it again.
    void NoteInstalled(const std::string& path);

    // True when `cause` is a refused signature's.
    static bool IsRefusal(const std::string& cause);
    // The event report's text for a refused download of `version` ("" when it has none).
    static std::string RefusalReport(const std::string& version, const std::string& cause);

private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        timespec modified{};
        timespec changed{};
        bool operator==(const Identity& other) const;
    };

    TrustedKeys keys_;
    std::string folder_;
    bool failed_ = false;
    Identity lastValid_;
};
