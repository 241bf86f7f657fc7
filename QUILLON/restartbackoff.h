// The growing pause between attempts that keep failing: the tablet application ending soon
// after each start, or downloads that fail or leave the wrong version behind. Pure rules on
// tick counts handed in, so the whole table can be tested without waiting.
#pragma once

#include <cstdint>

class RestartBackoff {
public:
    static constexpr uint32_t kFirstPauseMs = 10000;
    static constexpr uint32_t kMaxPauseMs = 300000;
    static constexpr uint32_t kQuickRunMs = 10000;  // a run shorter than this is a failure
    static constexpr uint32_t kGoodRunMs = 60000;   // a run longer than this clears the count

    // `failuresBeforePause`: how many failures in a row pass without a pause (the pause begins
    // with the next one). `firstPauseMs` is the first pause; each further failure doubles it,
    // up to kMaxPauseMs.
    RestartBackoff(uint32_t failuresBeforePause, uint32_t firstPauseMs = kFirstPauseMs);

    // Counts one failure at tick `now`; returns the pause now in force (0: none).
    uint32_t Fail(uint32_t now);
    // A run of `runMs` that ended at `now`: shorter than kQuickRunMs is a failure (returns the
    // pause), longer than kGoodRunMs clears the count, anything between changes nothing.
    uint32_t RunEnded(uint32_t runMs, uint32_t now);
    // Clears the count and any pause.
    void Reset();
    // True when no pause is in force at tick `now`.
    bool Ready(uint32_t now) const;
    // Milliseconds of the pause left at tick `now` (0: none in force).
    uint32_t MsLeft(uint32_t now) const;

    uint32_t Failures() const { return failures_; }
    uint32_t PauseMs() const { return pauseMs_; }

private:
    uint32_t failuresBeforePause_;
    uint32_t firstPauseMs_;
    uint32_t failures_ = 0;
    uint32_t pauseMs_ = 0;
    uint32_t failedAt_ = 0;
};

// The first pause in force: RestartBackoff::kFirstPauseMs, or QUILLON_BACKOFF_MS (0..300000)
// when QUILLON_TEST=1 is also set, so that end-to-end tests need not wait 10 s per pause.
uint32_t FirstBackoffPauseMs();
