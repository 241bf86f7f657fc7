#include <gtest/gtest.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/sdnotify.h"
#include "COMMON/BM_OS/waittick.h"
#include "tests/support/env_guard.h"
#include "tests/support/notify_listener.h"
#include "tests/support/scratch_dir.h"

namespace {

TEST(SdNotifyTest, ParsesOnlyUsableSocketNamesAndWatchdogSettings) {
    const std::string longest(sizeof(sockaddr_un::sun_path) - 1, 'x');
    struct SocketCase {
        const char* value;
        std::optional<std::string> bytes;
    } sockets[] = {
        {"/run/systemd/notify", std::string("/run/systemd/notify")},
        {"@sd-notify", std::string("\0sd-notify", 10)},
        {nullptr, std::nullopt},
        {"", std::nullopt},
        {"run/notify", std::nullopt},    // relative
        {"vsock:2:1234", std::nullopt},  // not a Unix socket
        {"@", std::nullopt},             // abstract with no name
        {"/", std::nullopt},
    };
    for (const SocketCase& c : sockets) {
        const auto parsed = ParseNotifySocket(c.value);
        ASSERT_EQ(c.bytes.has_value(), parsed.has_value()) << (c.value ? c.value : "(null)");
        if (c.bytes) {
            EXPECT_EQ(*c.bytes, parsed->bytes);
        }
    }
    const std::string path = "/" + longest;  // one byte too many with the terminator
    EXPECT_FALSE(ParseNotifySocket(path.c_str()));
    EXPECT_TRUE(ParseNotifySocket(path.substr(0, path.size() - 1).c_str()));
    EXPECT_TRUE(ParseNotifySocket(("@" + longest).c_str()));  // abstract: no terminator

    struct WatchdogCase {
        const char* usec;
        const char* pid;
        std::optional<uint64_t> expected;
    } watchdogs[] = {
        {"30000000", nullptr, 30000000u},
        {"30000000", "4242", 30000000u},
        {"30000000", "4243", std::nullopt},  // meant for another process
        {"30000000", "", std::nullopt},
        {"0", nullptr, std::nullopt},
        {"", nullptr, std::nullopt},
        {nullptr, "4242", std::nullopt},
        {"-5", nullptr, std::nullopt},
        {" 5", nullptr, std::nullopt},
        {"5s", nullptr, std::nullopt},
        {"99999999999999999999", nullptr, std::nullopt},  // overflows 64 bits
    };
    for (const WatchdogCase& c : watchdogs) {
        EXPECT_EQ(c.expected, ParseWatchdogUsec(c.usec, c.pid, 4242))
            << (c.usec ? c.usec : "(null)") << " pid " << (c.pid ? c.pid : "(null)");
    }
}

TEST(SdNotifyTest, SendsReadyOnceStatusOnChangeAndFeedsAtHalfTheInterval) {
    ScratchDir dir("quillon-notify");
    NotifyListener manager(dir.Path());
    ASSERT_FALSE(manager.Path().empty());
    SdNotifier notifier(ParseNotifySocket(manager.Path().c_str()), 2000000);  // 2 s watchdog
    ASSERT_TRUE(notifier.Enabled());
    EXPECT_EQ(2000u, notifier.WatchdogMs());

    EXPECT_TRUE(notifier.Ready());
    EXPECT_FALSE(notifier.Ready());
    EXPECT_TRUE(notifier.Status("Connected to KITCHEN (192.168.1.5)"));
    EXPECT_FALSE(notifier.Status("Connected to KITCHEN (192.168.1.5)"));
    EXPECT_TRUE(notifier.Status("Waiting\nfor the gateway"));  // kept on one line
    EXPECT_TRUE(notifier.Status("Connected to KITCHEN (192.168.1.5)"));

    // Ticks near the wrap of the counter: the first feed at once, then every 1000 ms.
    const uint32_t start = 0xFFFFFC00u;
    struct Step {
        uint32_t at;
        bool feeds;
        uint32_t untilNext;
    } steps[] = {{0, true, 1000},    {1, false, 999},    {999, false, 1},   {1000, true, 1000},
                 {1500, false, 500}, {2600, true, 1000}, {9000, true, 1000}};
    for (const Step& step : steps) {
        EXPECT_EQ(step.feeds, notifier.FeedWatchdog(start + step.at)) << "at +" << step.at;
        EXPECT_EQ(step.untilNext, notifier.MsUntilFeed(start + step.at)) << "at +" << step.at;
    }
    const std::vector<std::string> expected = {"READY=1",
                                               "STATUS=Connected to KITCHEN (192.168.1.5)",
                                               "STATUS=Waiting for the gateway",
                                               "STATUS=Connected to KITCHEN (192.168.1.5)",
                                               "WATCHDOG=1",
                                               "WATCHDOG=1",
                                               "WATCHDOG=1",
                                               "WATCHDOG=1"};
    EXPECT_EQ(expected, manager.Collect(100));
}

TEST(SdNotifyTest, WithoutASocketOrWatchdogNothingIsSentAndTheEnvironmentIsForgotten) {
    ScratchDir dir("quillon-notify");
    NotifyListener manager(dir.Path());
    {
        EnvGuard socket("NOTIFY_SOCKET", nullptr);
        EnvGuard usec("WATCHDOG_USEC", "2000000");
        SdNotifier notifier = SdNotifier::FromEnvironment(false);
        EXPECT_FALSE(notifier.Enabled());
        EXPECT_EQ(0u, notifier.WatchdogMs());
        EXPECT_FALSE(notifier.Ready());
        EXPECT_FALSE(notifier.Status("x"));
        EXPECT_FALSE(notifier.FeedWatchdog(0));
        EXPECT_EQ(kWaitForever, notifier.MsUntilFeed(0));
    }
    {
        EnvGuard socket("NOTIFY_SOCKET", manager.Path());
        EnvGuard usec("WATCHDOG_USEC", "2000000");
        EnvGuard pid("WATCHDOG_PID", std::to_string(getpid()));
        SdNotifier notifier = SdNotifier::FromEnvironment(true);
        EXPECT_EQ(nullptr, getenv("NOTIFY_SOCKET"));  // a started program does not inherit them
        EXPECT_EQ(nullptr, getenv("WATCHDOG_USEC"));
        EXPECT_EQ(nullptr, getenv("WATCHDOG_PID"));
        EXPECT_EQ(2000u, notifier.WatchdogMs());
        EXPECT_TRUE(notifier.FeedWatchdog(0));
    }
    {
        EnvGuard socket("NOTIFY_SOCKET", manager.Path());
        SdNotifier notifier = SdNotifier::FromEnvironment(false);
        EXPECT_TRUE(notifier.Ready());
        EXPECT_FALSE(notifier.FeedWatchdog(0));  // a socket but no watchdog
    }
    EXPECT_EQ((std::vector<std::string>{"WATCHDOG=1", "READY=1"}), manager.Collect(100));
    // A manager that went away: sending fails quietly, and the feed is not retried at once.
    SdNotifier gone(ParseNotifySocket((dir.Path() + "/nobody").c_str()), 2000000);
    EXPECT_FALSE(gone.FeedWatchdog(0));
    EXPECT_EQ(1000u, gone.MsUntilFeed(0));
}

int gTicks = 0;

TEST(SdNotifyTest, LongWaitsTickAtMostOncePerSecond) {
    ScopedManualClock clock(500);
    WaitTick();  // nothing registered: nothing happens
    SetWaitTick([] { ++gTicks; });
    const struct {
        uint32_t advance;
        int ticks;
    } steps[] = {{0, 1}, {10, 1}, {989, 1}, {1, 2}, {999, 2}, {5000, 3}};
    for (const auto& step : steps) {
        clock->Advance(step.advance);
        WaitTick();
        EXPECT_EQ(step.ticks, gTicks) << "at " << clock->Now();
    }
    SetWaitTick(nullptr);
    clock->Advance(5000);
    WaitTick();
    EXPECT_EQ(3, gTicks);
}

}  // namespace
