#include "QUILLON/updatetrust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool UpdateTrust::Identity::operator==(const Identity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

bool UpdateTrust::Load(const std::string& folder, std::string* problem) {
    folder_ = folder;
    keys_ = TrustedKeys();
    lastValid_ = Identity();
    failed_ = !keys_.LoadFolder(folder, problem);
    if (failed_) {
        keys_ = TrustedKeys();  // none trusted, checking stays on
    }
    return !failed_;
}

std::string UpdateTrust::StartNote() const {
    return CheckingOn() ? "" : "quillon: no trusted keys in " + folder_ + ": updates are installed unchecked";
}

SignatureCheck UpdateTrust::Check(int fd) const {
    return VerifySignedFile(fd, keys_);
}

std::optional<SignatureCheck> UpdateTrust::CheckStreamed(const StreamedPayload& streamed) const {
    return VerifyStreamedPayload(streamed, keys_);
}

bool UpdateTrust::InstalledFileValid(const std::string& path, std::string* cause) {
    if (!CheckingOn()) {
        return true;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        *cause = path + ": " + std::strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    const Identity identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    bool valid = identity == lastValid_;
    if (!valid) {
        const SignatureCheck check = Check(fd);
        valid = check.Valid();
        *cause = valid ? "" : check.Cause();
        lastValid_ = valid ? identity : Identity();
    }
    close(fd);
    return valid;
}

void UpdateTrust::NoteInstalled(const std::string& path) {
    struct stat st {};
    lastValid_ = CheckingOn() && stat(path.c_str(), &st) == 0
                     ? Identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim}
                     : Identity();
}

bool UpdateTrust::IsRefusal(const std::string& cause) {
    return cause.rfind(kRefusalPrefix, 0) == 0;
}

std::string UpdateTrust::RefusalReport(const std::string& version, const std::string& cause) {
    return "Update to " + (version.empty() ? std::string("an unknown version") : version) +
           " refused: " + cause;
}
