// The tick counter stand-in: monotonic milliseconds truncated to 32 bits, Sleep, and the wait
// for descriptors. Everything that measures or waits for time goes through the current Clock,
// which a test may replace with a ManualClock so that long time-outs pass without waiting.
// Every wait also ends once a stop is asked for (stopsignal.h).
#pragma once

#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t TickCount() = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // Waits until one of `fds` is ready, a stop is asked for, or `timeoutMs` passed
    // (kWaitForever: no limit). Returns how many of `fds` are ready (revents set), 0 otherwise.
    virtual int Wait(pollfd* fds, size_t count, uint32_t timeoutMs) = 0;
};

// A controllable clock: time moves only when told (Set, Advance, Sleep), or by `autoAdvanceMs`
// on every TickCount read, so that polling loops with time-outs end without real waiting.
// Wait looks at the descriptors without waiting; when none is ready it advances by the time-out
// (kManualForeverMs for kWaitForever).
class ManualClock final : public Clock {
public:
    explicit ManualClock(uint32_t start = 0) : now_(start) {}
    uint32_t TickCount() override { return now_.fetch_add(autoAdvance_.load()); }
    static constexpr uint32_t kManualForeverMs = 1000;
    void Sleep(uint32_t ms) override { now_.fetch_add(ms); }
    int Wait(pollfd* fds, size_t count, uint32_t timeoutMs) override;
    void Set(uint32_t now) { now_.store(now); }
    void Advance(uint32_t ms) { now_.fetch_add(ms); }
    void SetAutoAdvance(uint32_t ms) { autoAdvance_.store(ms); }
    uint32_t Now() const { return now_.load(); }

private:
    std::atomic<uint32_t> now_;
    std::atomic<uint32_t> autoAdvance_{0};
};

// Installs `clock` as the program's clock (not owned); nullptr restores the system clock.
void SetClock(Clock* clock);

// Milliseconds of the current clock, 32 bits (wraps after about 49.7 days).
uint32_t GetTickCount();

// Sleeps `ms` milliseconds on the current clock (a ManualClock advances instead); ends early
// once a stop is asked for.
void Sleep(uint32_t ms);

// Waits on the current clock as Clock::Wait does.
int WaitForEvents(pollfd* fds, size_t count, uint32_t timeoutMs);

// Milliseconds since `start`. After a wrap of the counter below `start` the result is
// (0xFFFFFFFF - start) + now, one less than the modular difference.
uint32_t ElapsedSince(uint32_t start);

// RAII helper for tests: installs a ManualClock for the scope.
class ScopedManualClock {
public:
    explicit ScopedManualClock(uint32_t start = 0) : clock_(start) { SetClock(&clock_); }
    ~ScopedManualClock() { SetClock(nullptr); }
    ManualClock& operator*() { return clock_; }
    ManualClock* operator->() { return &clock_; }

private:
    ManualClock clock_;
};
