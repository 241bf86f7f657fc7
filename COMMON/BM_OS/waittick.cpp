#include "COMMON/BM_OS/waittick.h"

#include <atomic>
#include <cstdint>

#include "COMMON/BM_OS/bmclock.h"

namespace {
std::atomic<WaitTickFunction> gTick{nullptr};
uint32_t gLastTick = 0;
bool gTicked = false;
}  // namespace

void SetWaitTick(WaitTickFunction tick) {
    gTick.store(tick);
    gTicked = false;
}

void WaitTick() {
    const WaitTickFunction tick = gTick.load();
    if (tick == nullptr) {
        return;
    }
    const uint32_t now = GetTickCount();
    if (gTicked && now - gLastTick < kWaitTickMinGapMs) {
        return;
    }
    gTicked = true;
    gLastTick = now;
    tick();
}
