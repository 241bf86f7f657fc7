// LockWatcher: tells through a readable descriptor when another process lets go of a named mutex
// and when its lock file is opened, so that a waiting loop need not try the lock on a clock.
// The release side is a helper thread that blocks taking the lock on a file description of its
// own and lets it go at once; the open side is an inotify watch on the lock file (a new holder
// opens the file before it takes the lock). The watcher itself never opens the file again after
// Open, so its own checks raise no open events.
#pragma once

#include <poll.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "COMMON/BM_OS/namedmutex.h"

class LockWatcher {
public:
    // What TakeEvents found.
    static constexpr uint32_t kReleased = 1;  // the mutex was free at some moment after Arm
    static constexpr uint32_t kOpened = 2;    // someone opened the lock file

    LockWatcher() = default;
    ~LockWatcher();
    LockWatcher(const LockWatcher&) = delete;
    LockWatcher& operator=(const LockWatcher&) = delete;

    // Creates or opens the mutex `name` (as NamedMutex::Create does) and starts watching opens.
    // False when it cannot be made; the watcher then reports nothing.
    bool Open(const std::string& name);

    // Makes the descriptor readable the next time nobody holds the mutex (at once if nobody does
    // now). Arming again before that is a no-op. Never blocks.
    void ArmRelease();

    // Appends the descriptors to wait on (POLLIN).
    void AppendDescriptors(std::vector<pollfd>* fds) const;

    // Takes what happened since the last call: kReleased and/or kOpened bits. Never blocks.
    uint32_t TakeEvents();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    NamedMutex handle_;
    int inotify_ = -1;
};
