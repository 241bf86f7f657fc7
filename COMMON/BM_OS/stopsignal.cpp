#include "COMMON/BM_OS/stopsignal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>

namespace {
std::atomic<int> gStopFd{-1};
volatile sig_atomic_t gStopped = 0;
}  // namespace

int StopDescriptor() {
    static const int fd = [] {
        const int made = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        gStopFd.store(made);
        return made;
    }();
    return fd;
}

void RequestStop() {
    gStopped = 1;
    const int fd = gStopFd.load();
    if (fd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
    }
}

bool StopRequested() {
    return gStopped != 0;
}

void ClearStopRequest() {
    gStopped = 0;
    const int fd = StopDescriptor();
    uint64_t count = 0;
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t n = read(fd, &count, sizeof count);
    }
}
