#include <gtest/gtest.h>

#include "COMMON/BM_OS/bmclock.h"

namespace {

TEST(ClockTest, ElapsedSinceWithoutWrap) {
    ScopedManualClock clock(1000);
    EXPECT_EQ(0u, ElapsedSince(1000));
    clock->Advance(250);
    EXPECT_EQ(250u, ElapsedSince(1000));
    EXPECT_EQ(1250u, ElapsedSince(0));
}

TEST(ClockTest, ElapsedSinceAcrossTheWrapIsOneLessThanModular) {
    ScopedManualClock clock(0xFFFFFFF0u);
    EXPECT_EQ(0u, ElapsedSince(0xFFFFFFF0u));
    clock->Advance(0x0F);  // 0xFFFFFFFF, not yet wrapped
    EXPECT_EQ(0x0Fu, ElapsedSince(0xFFFFFFF0u));
    clock->Advance(1);  // now 0
    EXPECT_EQ(0x0Fu, ElapsedSince(0xFFFFFFF0u));
    clock->Advance(0x10);  // now 0x10
    EXPECT_EQ(0x1Fu, ElapsedSince(0xFFFFFFF0u));
    EXPECT_EQ(0xFFFFFFFEu, ElapsedSince(0x11u));  // a start just ahead of now
    EXPECT_EQ(0x10u, ElapsedSince(0xFFFFFFFFu));
}

TEST(ClockTest, ManualClockDrivesSleepAndTicks) {
    ScopedManualClock clock(5);
    Sleep(30000);  // advances, never waits
    EXPECT_EQ(30005u, GetTickCount());
    clock->SetAutoAdvance(10);
    const uint32_t a = GetTickCount();
    const uint32_t b = GetTickCount();
    EXPECT_EQ(10u, b - a);
}

TEST(ClockTest, SystemClockIsRestoredAndMonotonic) {
    { ScopedManualClock clock(0); }
    const uint32_t start = GetTickCount();
    Sleep(20);
    const uint32_t elapsed = ElapsedSince(start);
    EXPECT_GE(elapsed, 19u);  // a tick boundary can fall just after the first reading
    EXPECT_LT(elapsed, 1000u);
}

}  // namespace
