// The launcher as a technician and the service manager see it: readiness, status line and
// watchdog over a notification socket of the test's own, and `quillon --status` in the
// situations worth asking about.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <string>

#include "tests/QUILLON/support_launcher.h"
#include "tests/support/notify_listener.h"
#include "tests/support/proc_info.h"
#include "tests/support/wait_until.h"

namespace {
constexpr int kStepMs = 10000;
constexpr int kWatchdogUsec = 2000000;  // fed every second

// The messages from `from` on that start with `prefix`.
std::vector<std::string> WithPrefix(const std::vector<std::string>& messages, const std::string& prefix,
                                    size_t from = 0) {
    std::vector<std::string> found;
    for (size_t i = from; i < messages.size(); ++i) {
        if (messages[i].rfind(prefix, 0) == 0) {
            found.push_back(messages[i]);
        }
    }
    return found;
}

// Waits until a message starting with `prefix` and containing `part` came; its index.
std::optional<size_t> WaitMessage(NotifyListener& manager, const std::string& prefix, const std::string& part,
                                  int timeoutMs) {
    std::optional<size_t> at;
    WaitUntil(
        [&] {
            const auto& messages = manager.Collect(20);
            for (size_t i = 0; i < messages.size(); ++i) {
                if (messages[i].rfind(prefix, 0) == 0 && messages[i].find(part) != std::string::npos) {
                    at = i;
                    return true;
                }
            }
            return false;
        },
        timeoutMs, 0);
    return at;
}

std::string Transcript(const std::vector<std::string>& messages) {
    std::string text;
    for (const std::string& m : messages) {
        text += "  " + m + "\n";
    }
    return text;
}

TEST(LauncherOperations, TellsTheServiceManagerReadinessStatusAndFeedsTheWatchdogOnlyWhileItsLoopRuns) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    NotifyListener manager(world.Dir());
    ASSERT_FALSE(manager.Path().empty());
    ASSERT_TRUE(world.Publish("1.0.0.1"));
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    ASSERT_TRUE(world.StartLauncher(
        {}, {"NOTIFY_SOCKET=" + manager.Path(), "WATCHDOG_USEC=" + std::to_string(kWatchdogUsec)}));

    // Ready with the window and client made, before any gateway answers.
    const auto ready = WaitMessage(manager, "READY=1", "", kStepMs);
    ASSERT_TRUE(ready) << Transcript(manager.Collect());
    ASSERT_TRUE(WaitMessage(manager, "STATUS=Looking for the gateway", "", kStepMs))
        << Transcript(manager.Collect());

    ASSERT_TRUE(world.StartGateway());
    const auto connected = WaitMessage(manager, "STATUS=Connected to GATEWAY (127.0.0.1)", "", kStepMs);
    ASSERT_TRUE(connected) << Transcript(manager.Collect());
    // The link is let go while the application runs; the status names where it came from.
    const auto running = WaitMessage(manager, "STATUS=Torvix 1.0.0.1 running since ",
                                     " (gateway GATEWAY, 127.0.0.1)", kStepMs);
    ASSERT_TRUE(running) << Transcript(manager.Collect());
    EXPECT_LT(*connected, *running);
    ASSERT_TRUE(world.WaitTabletCount(1, kStepMs));
    // The status changes with the facts, not with every pass, and never says the gateway was
    // lost when the launcher let the link go itself.
    const auto statuses = WithPrefix(manager.Collect(), "STATUS=");
    EXPECT_LE(statuses.size(), 6u) << Transcript(statuses);
    EXPECT_TRUE(WithPrefix(statuses, "STATUS=Lost gateway").empty()) << Transcript(statuses);

    // While the application runs the loop has nothing else to do: the watchdog is fed every
    // half interval, no more, and a feed is one wake-up, not a pass that probes the
    // application's lock (about six).
    manager.Clear();
    const ProcUsage before = UsageOf(world.Launcher().Pid());
    WaitUntil([&] { return manager.Collect(50).size() >= 3; }, 4000, 0);
    const ProcUsage after = UsageOf(world.Launcher().Pid());
    const auto fed = WithPrefix(manager.Collect(), "WATCHDOG=1");
    EXPECT_GE(fed.size(), 2u) << Transcript(manager.Collect());
    EXPECT_LE(fed.size(), 4u) << Transcript(manager.Collect());
    ASSERT_TRUE(before.ok && after.ok);
    EXPECT_LE(after.switches - before.switches, static_cast<long>(2 * fed.size() + 2));

    // A stopped loop feeds nothing: what the service manager takes for a hang.
    const pid_t pid = world.Launcher().Pid();
    ASSERT_EQ(0, kill(pid, SIGSTOP));
    manager.Clear();
    Stopwatch stopped;
    while (stopped.ElapsedMs() < 1500) {
        manager.Collect(100);
    }
    EXPECT_EQ(0u, manager.Count("WATCHDOG=1")) << Transcript(manager.Collect());
    ASSERT_EQ(0, kill(pid, SIGCONT));
    EXPECT_TRUE(WaitMessage(manager, "WATCHDOG=1", "", 1500)) << Transcript(manager.Collect());

    world.Launcher().Stop();
    EXPECT_EQ(1u, manager.Collect(100).empty() ? 0u : manager.Count("STOPPING=1"));
}

TEST(LauncherOperations, StatusAnswersAtOnceInEachSituation) {
    struct Situation {
        const char* name;
        std::vector<std::string> gatewayArgs;
        std::vector<std::string> launcherEnv;
        bool installFirst;
        const char* waitFor;  // the status line that says the situation is there
        std::vector<std::string> jsonHas;
        std::vector<std::string> textHas;
        bool watchdog = false;  // a wait that blocks the loop keeps the watchdog fed
    };
    const Situation situations[] = {
        {"application running, the link let go",
         {},
         {},
         true,
         "Hiding QUILLON",
         {R"("connected":false)", R"("gateway_name":"GATEWAY")", R"("gateway_address":"127.0.0.1")",
          R"("installed_version":"1.0.0.1")", R"("gateway_version":"1.0.0.1")", R"("app_running":true)",
          R"("app_pid":)", R"("app_since":")", R"("monitor_mode":true)"},
         {"Gateway:           not connected while the application runs (last: GATEWAY (127.0.0.1))",
          "Application:       running, pid "}},
        {"in a pause after quick ends",
         {},
         {"DEMO_APP_CRASH=1", "QUILLON_BACKOFF_MS=60000"},
         true,
         "Torvix ended after 0 s, 3 times: next start in 60 s",
         {R"("connected":true)", R"("connected_since":")", R"("app_running":false)",
          R"("pause":"start, after 3 quick ends")", R"("pause_until":")",
          R"("app_last_end":"Torvix exited with code 70 after 0 s")"},
         {"Pause:             start, after 3 quick ends, until ",
          "Last end:          Torvix exited with code 70",
          "Gateway:           GATEWAY (127.0.0.1), connected since "}},
        {"during a download that trickles",
         {"--pieces", "--trickle", "4096/100"},
         {},
         false,
         "No local version: loading...",
         {R"("connected":true)", R"("installed_version":null)", R"("activity":"download)"},
         {"Installed version: unknown", "Now:               download"},
         true},
        {"during a version query the gateway never answers",
         {"--stall"},
         {},
         true,
         "Getting Version Info...",
         {R"("installed_version":"1.0.0.1")", R"("gateway_version":null)", R"("app_running":false)"},
         {"Installed version: 1.0.0.1"},
         true},
    };
    for (const Situation& s : situations) {
        SCOPED_TRACE(s.name);
        LauncherWorld world;
        ASSERT_TRUE(world.Ready());
        ASSERT_TRUE(world.Publish("1.0.0.1"));
        if (s.installFirst) {
            ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
        }
        ASSERT_TRUE(world.StartGateway(s.gatewayArgs));

        // Nobody there yet: exit 3 and one line.
        const LauncherWorld::StatusAnswer none = world.AskStatus(false);
        EXPECT_EQ(3, none.code);
        EXPECT_EQ("", none.out);
        EXPECT_EQ("quillon: no launcher is running with the runtime folder " + world.RuntimeDir() + "\n",
                  none.err);

        NotifyListener manager(world.Dir());
        std::vector<std::string> env = s.launcherEnv;
        if (s.watchdog) {
            env.push_back("NOTIFY_SOCKET=" + manager.Path());
            env.push_back("WATCHDOG_USEC=" + std::to_string(kWatchdogUsec));
        }
        ASSERT_TRUE(world.StartLauncher({}, env));
        ASSERT_TRUE(world.WaitStatus(s.waitFor, kStepMs)) << world.Transcript();
        if (s.watchdog) {
            manager.Clear();
            Stopwatch blocked;
            while (blocked.ElapsedMs() < 2500) {
                manager.Collect(100);
            }
            EXPECT_GE(manager.Count("WATCHDOG=1"), 2u) << Transcript(manager.Collect());
        }
        // The facts reach the snapshot with the loop's next pass (during a download: its next
        // progress report).
        LauncherWorld::StatusAnswer json;
        const bool all = WaitUntil(
            [&] {
                json = world.AskStatus(true);
                return std::all_of(s.jsonHas.begin(), s.jsonHas.end(), [&](const std::string& part) {
                    return json.out.find(part) != std::string::npos;
                });
            },
            kStepMs, 50);
        EXPECT_TRUE(all) << json.out << json.err << world.Transcript();
        EXPECT_EQ(0, json.code);
        EXPECT_LT(json.ms, 1000);  // the process's own start included
        EXPECT_EQ('{', json.out.front());
        EXPECT_EQ(1, std::count(json.out.begin(), json.out.end(), '\n'));
        const LauncherWorld::StatusAnswer text = world.AskStatus(false);
        EXPECT_EQ(0, text.code);
        for (const std::string& part : s.textHas) {
            EXPECT_NE(std::string::npos, text.out.find(part)) << part << "\n" << text.out;
        }
        // Gone: nothing answers any more, and the socket went with it.
        world.Launcher().Stop();
        EXPECT_EQ(3, world.AskStatus(true).code);
    }
}

}  // namespace
