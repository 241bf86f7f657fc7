#include "QUILLON/restartbackoff.h"

#include <cstdint>

#include "QUILLON/testoverrides.h"

RestartBackoff::RestartBackoff(uint32_t failuresBeforePause, uint32_t firstPauseMs)
    : failuresBeforePause_(failuresBeforePause), firstPauseMs_(firstPauseMs) {}

uint32_t RestartBackoff::Fail(uint32_t now) {
    if (failures_ < UINT32_MAX) {
        ++failures_;
    }
    failedAt_ = now;
    if (failures_ <= failuresBeforePause_) {
        pauseMs_ = 0;
        return 0;
    }
    uint64_t pause = firstPauseMs_;
    for (uint32_t i = failuresBeforePause_ + 1; i < failures_ && pause != 0 && pause < kMaxPauseMs; ++i) {
        pause *= 2;
    }
    pauseMs_ = static_cast<uint32_t>(pause < kMaxPauseMs ? pause : kMaxPauseMs);
    return pauseMs_;
}

uint32_t RestartBackoff::RunEnded(uint32_t runMs, uint32_t now) {
    if (runMs < kQuickRunMs) {
        return Fail(now);
    }
    if (runMs > kGoodRunMs) {
        Reset();
    }
    return 0;
}

void RestartBackoff::Reset() {
    failures_ = 0;
    pauseMs_ = 0;
}

bool RestartBackoff::Ready(uint32_t now) const {
    return pauseMs_ == 0 || now - failedAt_ >= pauseMs_;
}

uint32_t RestartBackoff::MsLeft(uint32_t now) const {
    return Ready(now) ? 0 : pauseMs_ - (now - failedAt_);
}

uint32_t FirstBackoffPauseMs() {
    return TestOverrideMs("QUILLON_BACKOFF_MS", RestartBackoff::kFirstPauseMs, RestartBackoff::kMaxPauseMs);
}
