#include "COMMON/BM_OS/bmclock.h"

#include <cerrno>
#include <ctime>
#include <vector>

#include "COMMON/BM_OS/stopsignal.h"

namespace {

// One poll over `fds` and the stop descriptor; how many of `fds` are ready, or -1 on an error
// other than an interruption (0 then too: the caller treats it as nothing ready).
int PollWithStop(pollfd* fds, size_t count, int timeoutMs, bool* stopped) {
    std::vector<pollfd> all(fds, fds + count);
    all.push_back(pollfd{StopDescriptor(), POLLIN, 0});
    const int rc = ::poll(all.data(), all.size(), timeoutMs);
    *stopped = StopRequested() || (all.back().revents & POLLIN) != 0;
    if (rc <= 0) {
        return rc;
    }
    int ready = 0;
    for (size_t i = 0; i < count; ++i) {
        fds[i].revents = all[i].revents;
        ready += all[i].revents != 0 ? 1 : 0;
    }
    return ready;
}

class SystemClock final : public Clock {
public:
    uint32_t TickCount() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t ms =
            static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
        return static_cast<uint32_t>(ms);  // truncated: wraps like the tick counter it replaces
    }

    void Sleep(uint32_t ms) override { Wait(nullptr, 0, ms); }

    int Wait(pollfd* fds, size_t count, uint32_t timeoutMs) override {
        const uint32_t start = TickCount();
        for (;;) {
            uint32_t left = kWaitForever;
            if (timeoutMs != kWaitForever) {
                const uint32_t spent = TickCount() - start;
                left = spent >= timeoutMs ? 0 : timeoutMs - spent;
            }
            const int pollMs =
                left == kWaitForever ? -1 : static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left);
            bool stopped = false;
            const int rc = PollWithStop(fds, count, pollMs, &stopped);
            if (rc > 0 || stopped || left == 0) {
                return rc > 0 ? rc : 0;
            }
            if (rc == 0 || errno != EINTR) {
                return 0;
            }
        }
    }
};

SystemClock gSystemClock;
std::atomic<Clock*> gClock{&gSystemClock};

}  // namespace

void SetClock(Clock* clock) {
    gClock.store(clock ? clock : &gSystemClock);
}

uint32_t GetTickCount() {
    return gClock.load()->TickCount();
}

void Sleep(uint32_t ms) {
    gClock.load()->Sleep(ms);
}

int WaitForEvents(pollfd* fds, size_t count, uint32_t timeoutMs) {
    return gClock.load()->Wait(fds, count, timeoutMs);
}

int ManualClock::Wait(pollfd* fds, size_t count, uint32_t timeoutMs) {
    bool stopped = false;
    const int rc = PollWithStop(fds, count, 0, &stopped);
    if (rc > 0) {
        return rc;
    }
    if (!stopped) {
        now_.fetch_add(timeoutMs == kWaitForever ? kManualForeverMs : timeoutMs);
    }
    return 0;
}

uint32_t ElapsedSince(uint32_t start) {
    const uint32_t now = GetTickCount();
    if (now >= start) {
        return now - start;
    }
    return now - start - 1u;  // wrapped: (0xFFFFFFFF - start) + now
}
