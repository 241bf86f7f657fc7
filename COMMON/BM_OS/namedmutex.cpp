#include "COMMON/BM_OS/namedmutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/runtimedir.h"
#include "COMMON/BM_OS/stopsignal.h"

namespace {
// A name must stay a file inside the runtime folder.
bool IsAcceptableName(const std::string& name) {
    return IsSafeRuntimeName(name) && name.find("..") == std::string::npos;
}

// One non-blocking attempt: 1 taken, 0 held elsewhere, -1 failure.
int TryLock(int fd) {
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return 1;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EWOULDBLOCK ? 0 : -1;
    }
}
}  // namespace

NamedMutex::~NamedMutex() {
    Close();
}

bool NamedMutex::Create(const std::string& name) {
    if (fd_ >= 0 || !IsAcceptableName(name)) {
        return false;
    }
    const std::string dir = RuntimeDir();
    if (dir.empty()) {
        return false;
    }
    const std::string path = dir + "/" + name;
    // Lock files are never removed: unlinking one while another process waits on it would
    // split the mutex in two.
    int fd;
    do {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    fd_ = fd;
    owned_ = false;
    return true;
}

WaitResult NamedMutex::Wait(uint32_t timeoutMs) {
    if (fd_ < 0) {
        return WaitResult::Failed;
    }
    if (owned_) {
        return WaitResult::Signalled;
    }
    const uint32_t start = GetTickCount();
    for (;;) {
        const int r = TryLock(fd_);
        if (r > 0) {
            owned_ = true;
            return WaitResult::Signalled;
        }
        if (r < 0) {
            return WaitResult::Failed;
        }
        const uint32_t elapsed = ElapsedSince(start);
        // Once a stop is asked for, the wait is the one attempt already made.
        if ((timeoutMs != kInfinite && elapsed >= timeoutMs) || StopRequested()) {
            return WaitResult::TimedOut;
        }
        const uint32_t left = timeoutMs == kInfinite ? kPollMs : timeoutMs - elapsed;
        Sleep(std::min(kPollMs, left));
    }
}

bool NamedMutex::Release() {
    if (fd_ < 0 || !owned_) {
        return false;
    }
    owned_ = false;
    return flock(fd_, LOCK_UN) == 0;
}

void NamedMutex::Close() {
    if (fd_ < 0) {
        return;
    }
    Release();
    close(fd_);
    fd_ = -1;
}
