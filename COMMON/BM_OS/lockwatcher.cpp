#include "COMMON/BM_OS/lockwatcher.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "COMMON/BM_OS/runtimedir.h"

// What the helper thread shares with the watcher: it may outlive the watcher while it is still
// blocked on a lock that nobody lets go, so it keeps the descriptors alive itself.
struct LockWatcher::Shared {
    int lockFd = -1;
    int eventFd = -1;
    std::atomic<bool> armed{false};
    ~Shared() {
        if (lockFd >= 0) {
            close(lockFd);
        }
        if (eventFd >= 0) {
            close(eventFd);
        }
    }
};

namespace {
void Signal(int eventFd) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(eventFd, &one, sizeof one);
}

void Drain(int fd) {
    char buffer[4096];
    while (fd >= 0 && read(fd, buffer, sizeof buffer) > 0) {
    }
}
}  // namespace

LockWatcher::~LockWatcher() {
    if (inotify_ >= 0) {
        close(inotify_);
    }
}

bool LockWatcher::Open(const std::string& name) {
    if (shared_ || !handle_.Create(name)) {
        return false;
    }
    const std::string path = RuntimeDir() + "/" + name;
    auto shared = std::make_shared<Shared>();
    shared->lockFd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    shared->eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (shared->lockFd < 0 || shared->eventFd < 0) {
        handle_.Close();
        return false;
    }
    // Watching starts after the watcher's own opens, which therefore report nothing.
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0 && inotify_add_watch(inotify_, path.c_str(), IN_OPEN) < 0) {
        close(inotify_);
        inotify_ = -1;
    }
    shared_ = std::move(shared);
    return true;
}

void LockWatcher::ArmRelease() {
    if (!shared_ || shared_->armed.exchange(true)) {
        return;
    }
    std::thread([shared = shared_] {
        int rc;
        do {
            rc = flock(shared->lockFd, LOCK_EX);
        } while (rc != 0 && errno == EINTR);
        // Held for no longer than these two calls: a starting holder retries its attempt.
        if (rc == 0) {
            flock(shared->lockFd, LOCK_UN);
        }
        shared->armed.store(false);
        Signal(shared->eventFd);
    }).detach();
}

void LockWatcher::AppendDescriptors(std::vector<pollfd>* fds) const {
    if (shared_) {
        fds->push_back(pollfd{shared_->eventFd, POLLIN, 0});
    }
    if (inotify_ >= 0) {
        fds->push_back(pollfd{inotify_, POLLIN, 0});
    }
}

uint32_t LockWatcher::TakeEvents() {
    uint32_t events = 0;
    uint64_t count = 0;
    if (shared_ && read(shared_->eventFd, &count, sizeof count) == sizeof count && count > 0) {
        events |= kReleased;
    }
    if (inotify_ >= 0) {
        pollfd entry{inotify_, POLLIN, 0};
        if (poll(&entry, 1, 0) > 0) {
            events |= kOpened;
            Drain(inotify_);
        }
    }
    return events;
}
