// Named mutexes shared between processes: an exclusive flock on the lock file
// <runtime dir>/<name>. A lock belongs to one open file description, so two NamedMutex objects
// of one process conflict just as two processes do; a holder that dies releases it by itself.
#pragma once

#include <cstdint>
#include <string>

enum class WaitResult { Signalled, TimedOut, Failed };

class NamedMutex {
public:
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;  // Wait never times out
    static constexpr uint32_t kPollMs = 25;  // pause between lock attempts: few wake-ups per 100 ms wait

    NamedMutex() = default;
    ~NamedMutex();  // closes (and so releases) the mutex
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Creates or opens the mutex `name` without taking ownership. False when the name is not a
    // plain file name ("/" or ".." in it, empty, too long), the runtime folder or the lock file
    // cannot be made, or this object is already open.
    bool Create(const std::string& name);

    // Takes ownership, retrying every kPollMs on the program clock until `timeoutMs` has passed
    // (0: one attempt; also once a stop is asked for). Blocks up to `timeoutMs`. Waiting again while owned is
    // Signalled at once.
    WaitResult Wait(uint32_t timeoutMs);

    // Gives up ownership. False when this object does not own the mutex.
    bool Release();

    // Releases if owned and closes the lock file; the object may be created again.
    void Close();

    bool IsOpen() const { return fd_ >= 0; }
    bool IsOwned() const { return owned_; }

private:
    int fd_ = -1;
    bool owned_ = false;
};
