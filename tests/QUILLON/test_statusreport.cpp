// What `quillon --status` prints: the snapshot's two forms, the server in the launcher and the
// client in the command, over a runtime folder of the test's own.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "QUILLON/statusclient.h"
#include "QUILLON/statusserver.h"
#include "QUILLON/statussnapshot.h"
#include "QUILLON/usage.h"
#include "tests/support/env_guard.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/wait_until.h"

namespace {
constexpr int64_t kAt1032 = 1796812320;  // 2026-12-09 10:32:00 UTC

StatusSnapshot Running() {
    StatusSnapshot s;
    s.launcherPid = 1234;
    s.connected = true;
    s.gatewayName = "KITCHEN";
    s.gatewayAddress = "192.168.1.5";
    s.connectedSince = kAt1032 - 60;
    s.deviceName = "Kitchen Panel 2";
    s.installedVersion = "2.0.0.7";
    s.gatewayVersion = "2.0.0.7";
    s.appRunning = true;
    s.appPid = 4321;
    s.appSince = kAt1032;
    return s;
}

// Output of one of the two forms, in UTC whatever the machine's zone.
struct Utc {
    EnvGuard tz{"TZ", "UTC"};
    Utc() { tzset(); }
    ~Utc() { tzset(); }
};

TEST(StatusReport, BothFormsOfEachSituation) {
    Utc utc;
    struct Case {
        const char* name;
        StatusSnapshot snapshot;
        std::string text;
        std::string json;
        std::string summary;
    };
    StatusSnapshot idle;  // just started: nothing known
    StatusSnapshot paused = Running();
    paused.connected = false;
    paused.connectedSince.reset();
    paused.appRunning = false;
    paused.appPid.reset();
    paused.appSince.reset();
    paused.appLastEnd = "Torvix exited with code 1 after 2 s";
    paused.appLastEndAt = kAt1032 + 2;
    paused.pause = "start: Torvix ended after 2 s, 3 times";
    paused.pauseUntil = kAt1032 + 42;
    paused.monitorMode = false;
    paused.devMode = true;
    paused.gatewayVersion.clear();
    StatusSnapshot downloading = Running();
    downloading.appRunning = false;
    downloading.appPid.reset();
    downloading.appSince.reset();
    downloading.installedVersion.clear();
    downloading.activity = "downloading TORVIX.EXE: 40 %";
    downloading.lastDownloadAt = kAt1032 - 5;
    downloading.lastDownloadResult = "failed";
    downloading.lastDownloadCause = "TORVIX.EXE: connection closed";
    downloading.signaturePolicy = "signed by one of 2 keys";
    downloading.rollbackState = "on; 1.0.0.1 kept";
    StatusSnapshot letGo = Running();  // the link is dropped on purpose while the application runs
    letGo.connected = false;
    letGo.connectedSince.reset();
    const Case cases[] = {
        {"running, the link let go", letGo,
         "Gateway:           not connected while the application runs (last: KITCHEN (192.168.1.5))\n"
         "Device name:       Kitchen Panel 2\n"
         "Installed version: 2.0.0.7\n"
         "Gateway version:   2.0.0.7\n"
         "Application:       running, pid 4321, since 2026-12-09 10:32:00\n"
         "Monitor mode:      on\n"
         "Dev mode:          off\n"
         "Launcher:          pid 1234\n",
         R"({"launcher_pid":1234,"connected":false,"gateway_name":"KITCHEN","gateway_address":"192.168.1.5",)"
         R"("device_name":"Kitchen Panel 2","installed_version":"2.0.0.7",)"
         R"("gateway_version":"2.0.0.7","app_running":true,"app_pid":4321,"app_since":"2026-12-09T10:32:00Z",)"
         R"("monitor_mode":true,"dev_mode":false})"
         "\n",
         "Torvix 2.0.0.7 running since 10:32 (gateway KITCHEN, 192.168.1.5)"},
        {"running", Running(),
         "Gateway:           KITCHEN (192.168.1.5), connected since 2026-12-09 10:31:00\n"
         "Device name:       Kitchen Panel 2\n"
         "Installed version: 2.0.0.7\n"
         "Gateway version:   2.0.0.7\n"
         "Application:       running, pid 4321, since 2026-12-09 10:32:00\n"
         "Monitor mode:      on\n"
         "Dev mode:          off\n"
         "Launcher:          pid 1234\n",
         R"({"launcher_pid":1234,"connected":true,"gateway_name":"KITCHEN","gateway_address":"192.168.1.5",)"
         R"("connected_since":"2026-12-09T10:31:00Z","device_name":"Kitchen Panel 2","installed_version":"2.0.0.7",)"
         R"("gateway_version":"2.0.0.7","app_running":true,"app_pid":4321,"app_since":"2026-12-09T10:32:00Z",)"
         R"("monitor_mode":true,"dev_mode":false})"
         "\n",
         "Connected to KITCHEN (192.168.1.5); Torvix 2.0.0.7 running since 10:32"},
        {"nothing known yet", idle,
         "Gateway:           not connected\n"
         "Device name:       (none: the first gateway that answers)\n"
         "Installed version: unknown\n"
         "Gateway version:   unknown\n"
         "Application:       not running\n"
         "Monitor mode:      on\n"
         "Dev mode:          off\n",
         R"({"launcher_pid":0,"connected":false,"gateway_name":null,"gateway_address":null,"device_name":null,)"
         R"("installed_version":null,"gateway_version":null,"app_running":false,"monitor_mode":true,"dev_mode":false})"
         "\n",
         "Looking for the gateway; Torvix not running"},
        {"in a pause, gateway lost", paused,
         "Gateway:           not connected (last: KITCHEN (192.168.1.5))\n"
         "Device name:       Kitchen Panel 2\n"
         "Installed version: 2.0.0.7\n"
         "Gateway version:   unknown\n"
         "Application:       not running\n"
         "Last end:          Torvix exited with code 1 after 2 s, at 2026-12-09 10:32:02\n"
         "Monitor mode:      off\n"
         "Dev mode:          on\n"
         "Pause:             start: Torvix ended after 2 s, 3 times, until 2026-12-09 10:32:42\n"
         "Launcher:          pid 1234\n",
         R"({"launcher_pid":1234,"connected":false,"gateway_name":"KITCHEN","gateway_address":"192.168.1.5",)"
         R"("device_name":"Kitchen Panel 2","installed_version":"2.0.0.7","gateway_version":null,)"
         R"("app_running":false,"app_last_end":"Torvix exited with code 1 after 2 s",)"
         R"("app_last_end_at":"2026-12-09T10:32:02Z","monitor_mode":false,"dev_mode":true,)"
         R"("pause":"start: Torvix ended after 2 s, 3 times","pause_until":"2026-12-09T10:32:42Z"})"
         "\n",
         "Lost gateway KITCHEN; paused (start: Torvix ended after 2 s, 3 times) until 10:32; monitor mode "
         "off"},
        {"during a download, after a failed one", downloading,
         "Gateway:           KITCHEN (192.168.1.5), connected since 2026-12-09 10:31:00\n"
         "Device name:       Kitchen Panel 2\n"
         "Installed version: unknown\n"
         "Gateway version:   2.0.0.7\n"
         "Application:       not running\n"
         "Monitor mode:      on\n"
         "Dev mode:          off\n"
         "Now:               downloading TORVIX.EXE: 40 %\n"
         "Last download:     2026-12-09 10:31:55, failed: TORVIX.EXE: connection closed\n"
         "Signature policy:  signed by one of 2 keys\n"
         "Rollback:          on; 1.0.0.1 kept\n"
         "Launcher:          pid 1234\n",
         R"({"launcher_pid":1234,"connected":true,"gateway_name":"KITCHEN","gateway_address":"192.168.1.5",)"
         R"("connected_since":"2026-12-09T10:31:00Z","device_name":"Kitchen Panel 2","installed_version":null,)"
         R"("gateway_version":"2.0.0.7","app_running":false,"monitor_mode":true,"dev_mode":false,)"
         R"("activity":"downloading TORVIX.EXE: 40 %","last_download_at":"2026-12-09T10:31:55Z",)"
         R"("last_download_result":"failed","last_download_cause":"TORVIX.EXE: connection closed",)"
         R"("signature_policy":"signed by one of 2 keys","rollback_state":"on; 1.0.0.1 kept"})"
         "\n",
         "Connected to KITCHEN (192.168.1.5); downloading TORVIX.EXE: 40 %"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.text, StatusText(c.snapshot)) << c.name;
        EXPECT_EQ(c.json, StatusJson(c.snapshot)) << c.name;
        EXPECT_EQ(c.summary, StatusSummary(c.snapshot)) << c.name;
    }
    // Just started, the link let go, the mutex not yet taken: starting, not "lost".
    StatusSnapshot starting = letGo;
    starting.appRunning = false;
    starting.appStarting = true;
    starting.appSince.reset();
    EXPECT_EQ("Torvix 2.0.0.7 starting (gateway KITCHEN, 192.168.1.5)", StatusSummary(starting));
    EXPECT_NE(std::string::npos, StatusText(starting).find("Application:       starting, pid 4321\n"));
    EXPECT_NE(std::string::npos,
              StatusJson(starting).find(R"("app_running":false,"app_starting":true,"app_pid":4321)"));
}

TEST(StatusReport, JsonStringsAreAlwaysValid) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"KITCHEN", R"("KITCHEN")"},
        {"a\"b\\c/d", R"("a\"b\\c/d")"},
        {"line\nnext\ttab\r\x01\x1f\x7f", R"("line\nnext\ttab\u000d\u0001\u001f\u007f")"},
        {"K\xc3\xbc"
         "che \xe2\x82\xac \xf0\x9f\x98\x80",
         "\"K\xc3\xbc"
         "che \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"K\xfc"
         "che",
         "\"K\xef\xbf\xbd"
         "che\""},                                                     // Latin-1, not UTF-8
        {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},                  // overlong "/"
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // a surrogate
        {"\xe2\x82", "\"\xef\xbf\xbd\xef\xbf\xbd\""},                  // cut short at the end
        {std::string("nul\0in", 6), R"("nul\u0000in")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.out, JsonQuoted(c.in)) << c.in;
    }
}

// The command as the process entry runs it, with the runtime folder in the environment.
struct StatusCommand {
    int code = -1;
    std::string out;
    std::string err;
};
StatusCommand RunStatusCommand(std::vector<const char*> args) {
    args.insert(args.begin(), "quillon");
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    StatusCommand result;
    const std::optional<int> code = HandleInfoOption(static_cast<int>(args.size()), args.data(), out, err);
    result.code = code.value_or(-1);
    for (auto [file, text] : {std::pair{out, &result.out}, std::pair{err, &result.err}}) {
        std::rewind(file);
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            text->append(buffer, n);
        }
        std::fclose(file);
    }
    return result;
}

TEST(StatusReport, TheCommandAsksTheLauncherOfItsRuntimeFolder) {
    ScratchDir dir("quillon-status");
    const std::string runtime = dir.File("run");
    EnvGuard env("QUILLON_RUNTIME_DIR", runtime);
    const std::string none = "quillon: no launcher is running with the runtime folder " + runtime + "\n";

    // No launcher, and no folder: exit 3, one line, and no folder made.
    StatusCommand asked = RunStatusCommand({"--status"});
    EXPECT_EQ(kExitNoLauncher, asked.code);
    EXPECT_EQ(none, asked.err);
    EXPECT_EQ("", asked.out);
    EXPECT_NE(0, access(runtime.c_str(), F_OK));
    ASSERT_EQ(0, mkdir(runtime.c_str(), 0700));

    StatusServer server;
    ASSERT_TRUE(server.Start(runtime)) << server.Problem();
    server.Update(Running());
    for (const bool json : {false, true}) {
        Stopwatch watch;
        asked = RunStatusCommand(json ? std::vector<const char*>{"--status", "--json"}
                                      : std::vector<const char*>{"--status"});
        EXPECT_LT(watch.ElapsedMs(), 100);
        EXPECT_EQ(0, asked.code);
        EXPECT_EQ(json ? StatusJson(Running()) : StatusText(Running()), asked.out);
        EXPECT_EQ("", asked.err);
    }
    // The loop's next snapshot is what the next client sees.
    StatusSnapshot later = Running();
    later.appRunning = false;
    server.Update(later);
    EXPECT_EQ(StatusJson(later), RunStatusCommand({"--status", "--json"}).out);

    // Only --json may follow; other first arguments keep their meaning.
    for (const auto& args : {std::vector<const char*>{"--status", "--jsonx"},
                             std::vector<const char*>{"--status", "--json", "more"}}) {
        asked = RunStatusCommand(args);
        EXPECT_EQ(kExitBadOption, asked.code);
        EXPECT_EQ("quillon: --status takes only --json after it\n", asked.err);
    }
    EXPECT_EQ(-1, RunStatusCommand({"/NAME:--status"}).code);

    // A client that connects and says nothing does not hold the next one up for long.
    const std::string path = runtime + "/" + kStatusSocketName;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    {
        const int idle = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(0, connect(idle, reinterpret_cast<sockaddr*>(&address), sizeof address));
        Stopwatch watch;
        EXPECT_EQ(0, RunStatusCommand({"--status"}).code);
        EXPECT_LT(watch.ElapsedMs(), StatusServer::kClientTimeoutMs + 200);
        close(idle);
    }

    // Stopped: the socket is gone; a socket file left by a launcher that died answers nothing.
    server.Stop();
    EXPECT_NE(0, access(path.c_str(), F_OK));
    const int dead = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, bind(dead, reinterpret_cast<sockaddr*>(&address), sizeof address));
    close(dead);
    asked = RunStatusCommand({"--status", "--json"});
    EXPECT_EQ(kExitNoLauncher, asked.code);
    EXPECT_EQ(none, asked.err);

    // A later launcher replaces what an earlier one left; an earlier one stopping late leaves the
    // later one's socket alone.
    StatusServer first;
    ASSERT_TRUE(first.Start(runtime));
    StatusServer second;
    ASSERT_TRUE(second.Start(runtime));
    second.Update(later);
    first.Stop();
    EXPECT_EQ(StatusText(later), RunStatusCommand({"--status"}).out);
}

TEST(StatusReport, ServerRefusesAFolderItCannotUse) {
    StatusServer server;
    EXPECT_FALSE(server.Start(""));
    EXPECT_FALSE(server.Start("/nonexistent-quillon-folder"));
    EXPECT_NE(std::string::npos, server.Problem().find("/nonexistent-quillon-folder/quillon-status"));
    EXPECT_FALSE(server.Start("/tmp/" + std::string(120, 'x')));
    std::string problem;
    EXPECT_FALSE(AskLauncherStatus("/tmp/" + std::string(120, 'x'), false, 100, &problem));
    EXPECT_NE(std::string::npos, problem.find("too long"));
}

}  // namespace
