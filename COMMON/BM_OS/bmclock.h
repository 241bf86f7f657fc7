// The tick counter stand-in: monotonic milliseconds truncated to 32 bits, and Sleep.
// Everything that measures time goes through the current Clock, which a test may replace
// with a ManualClock so that long time-outs pass without waiting.
#pragma once

#include <atomic>
#include <cstdint>

class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t TickCount() = 0;
    virtual void Sleep(uint32_t ms) = 0;
};

// A controllable clock: time moves only when told (Set, Advance, Sleep), or by `autoAdvanceMs`
// on every TickCount read, so that polling loops with time-outs end without real waiting.
class ManualClock final : public Clock {
public:
    explicit ManualClock(uint32_t start = 0) : now_(start) {}
    uint32_t TickCount() override { return now_.fetch_add(autoAdvance_.load()); }
    void Sleep(uint32_t ms) override { now_.fetch_add(ms); }
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

// Sleeps `ms` milliseconds on the current clock (a ManualClock advances instead).
void Sleep(uint32_t ms);

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
