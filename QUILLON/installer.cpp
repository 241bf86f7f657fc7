#include "QUILLON/installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "QUILLON/releasekeeper.h"
#include "QUILLON/updatetrust.h"

namespace {
constexpr char kZeroBytes[] = "zero-byte file";

bool Fail(const std::string& path, std::string* cause) {
    *cause = path + ": " + std::strerror(errno);
    return false;
}

bool SyncPath(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    errno = saved;
    return synced;
}
}  // namespace

bool CheckPartFile(const std::string& part, std::string* cause) {
    struct stat info {};
    if (::stat(part.c_str(), &info) == 0 && info.st_size == 0) {
        *cause = kZeroBytes;
        return false;
    }
    return SyncPath(part, O_RDONLY) || Fail(part, cause);
}

bool CheckSignature(const std::string& part, const UpdateTrust* trust, std::string* cause,
                    const StreamedPayload* streamed) {
    if (trust == nullptr || !trust->CheckingOn()) {
        return true;
    }
    const int fd = open(part.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return Fail(part, cause);
    }
    // The hash taken while downloading stands for the file only when it covered every byte.
    struct stat info {};
    std::optional<SignatureCheck> fromStream;
    if (streamed != nullptr && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<uint64_t>(info.st_size) == streamed->fileSize) {
        fromStream = trust->CheckStreamed(*streamed);
    }
    const SignatureCheck check = fromStream ? *fromStream : trust->Check(fd);
    close(fd);
    if (!check.Valid()) {
        *cause = check.Cause();
    }
    return check.Valid();
}

bool KeepPreviousAndBeginTrial(const std::string& part, const std::string& target, ReleaseKeeper* releases,
                               std::string* cause) {
    return releases == nullptr || releases->Files().Installed() != target ||
           releases->PrepareInstall(part, cause);
}

bool RenameIntoPlace(const std::string& part, const std::string& target, std::string* cause) {
    return std::rename(part.c_str(), target.c_str()) == 0 || Fail(target, cause);
}

bool RefusalEnded(const std::string& target, ReleaseKeeper* releases) {
    if (releases != nullptr && releases->Files().Installed() == target) {
        releases->Installed();
    }
    return true;
}

bool SyncFolderOf(const std::string& target, std::string* cause) {
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    return SyncPath(folder, O_RDONLY | O_DIRECTORY) || Fail(folder, cause);
}

bool InstallDownloadedFile(const std::string& part, const std::string& target, std::string* cause,
                           const InstallGuards& guards) {
    return CheckPartFile(part, cause) && CheckSignature(part, guards.trust, cause, guards.streamed) &&
           KeepPreviousAndBeginTrial(part, target, guards.releases, cause) &&
           RenameIntoPlace(part, target, cause) && SyncFolderOf(target, cause) &&
           RefusalEnded(target, guards.releases);
}
