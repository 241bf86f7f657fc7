#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/stopsignal.h"

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

TEST(ClockTest, WaitsEndOnAReadyDescriptorOrAStopElseRunTheirTime) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pollfd entry{pipeFds[0], POLLIN, 0};
    {
        ScopedManualClock clock(0);
        EXPECT_EQ(WaitForEvents(&entry, 1, 30000), 0);  // nothing ready: the time-out passes
        EXPECT_EQ(clock->Now(), 30000u);
        ASSERT_EQ(write(pipeFds[1], "x", 1), 1);
        EXPECT_EQ(WaitForEvents(&entry, 1, 30000), 1);
        EXPECT_EQ(clock->Now(), 30000u);
    }
    char byte = 0;
    ASSERT_EQ(read(pipeFds[0], &byte, 1), 1);
    // On the system clock a stop ends every wait and sleep at once.
    RequestStop();
    const uint32_t start = GetTickCount();
    EXPECT_EQ(WaitForEvents(&entry, 1, kWaitForever), 0);
    Sleep(5000);
    EXPECT_LT(ElapsedSince(start), 1000u);
    ClearStopRequest();
    EXPECT_FALSE(StopRequested());
    EXPECT_EQ(WaitForEvents(&entry, 1, 20), 0);
    EXPECT_GE(ElapsedSince(start), 20u);
    close(pipeFds[0]);
    close(pipeFds[1]);
}
