// The systemd units as systemd reads them: readiness and watchdog set, and nothing that
// `systemd-analyze verify` warns about (it only warns about a setting it ignores, so any output
// is a failure). Skipped where systemd-analyze is missing or cannot run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/scratch_dir.h"

namespace {

// Runs `command` through the shell; its output (stdout and stderr) and exit status.
std::pair<int, std::string> RunShell(const std::string& command) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return {-1, "popen failed"};
    }
    char buffer[512];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, n);
    }
    return {pclose(pipe), output};
}

// The unit template with the build's paths, as the install would configure it.
std::string Configured(const std::string& name) {
    std::ifstream in(std::string(QUILLON_SOURCE_DIR) + "/packaging/" + name + ".in");
    std::stringstream text;
    text << in.rdbuf();
    std::string unit = text.str();
    const std::pair<std::string, std::string> values[] = {
        {"@QUILLON_BIN_PATH@", std::string(QUILLON_BINARY_DIR) + "/QUILLON"},
        {"@QUILLON_SETTINGS_PATH@", "/etc/default/quillon"}};
    for (const auto& [key, value] : values) {
        for (size_t at = unit.find(key); at != std::string::npos; at = unit.find(key, at + value.size())) {
            unit.replace(at, key.size(), value);
        }
    }
    return unit;
}

TEST(SystemdUnits, BothAreNotifyUnitsWithAWatchdogThatVerifyAccepts) {
    ScratchDir dir("quillon-units");
    const struct {
        const char* name;
        const char* scope;
    } units[] = {{"quillon.service", "--user"}, {"quillon-headless.service", "--system"}};
    for (const auto& u : units) {
        const std::string unit = Configured(u.name);
        EXPECT_NE(std::string::npos, unit.find("\nType=notify\n")) << u.name;
        EXPECT_NE(std::string::npos, unit.find("\nWatchdogSec=30\n")) << u.name;
        EXPECT_EQ(std::string::npos, unit.find("Type=simple")) << u.name;
        std::ofstream(dir.File(u.name)) << unit;
    }
    if (RunShell("command -v systemd-analyze").first != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    const std::string xdg = dir.File("xdg");
    ASSERT_EQ(0, mkdir(xdg.c_str(), 0700));
    for (const auto& u : units) {
        const auto [status, output] = RunShell("XDG_RUNTIME_DIR=" + xdg + " systemd-analyze " + u.scope +
                                               " verify --man=no " + dir.File(u.name));
        EXPECT_EQ(0, status) << u.name << ": " << output;
        EXPECT_EQ("", output) << u.name;
    }
}

}  // namespace
