#include "COMMON/BM_OS/bmclock.h"

#include <cerrno>
#include <ctime>

namespace {

class SystemClock final : public Clock {
public:
    uint32_t TickCount() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t ms =
            static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
        return static_cast<uint32_t>(ms);  // truncated: wraps like the tick counter it replaces
    }

    void Sleep(uint32_t ms) override {
        timespec remaining{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
        while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
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

uint32_t ElapsedSince(uint32_t start) {
    const uint32_t now = GetTickCount();
    if (now >= start) {
        return now - start;
    }
    return now - start - 1u;  // wrapped: (0xFFFFFFFF - start) + now
}
