// Program start: one argument, own session, no inherited descriptors, no zombie, and failures
// reported as failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "COMMON/BM_OS/programstart.h"
#include "tests/support/env_guard.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/wait_until.h"

namespace {
constexpr int kReportWaitMs = 5000;  // the script needs a few ms

// The started script writes what it saw into report.txt (renamed into place when complete).
constexpr const char* kReporter =
    "#!/bin/sh\n"
    "out=\"$(dirname \"$0\")/report\"\n"
    "{\n"
    "  echo \"argc=$#\"\n"
    "  echo \"arg1=$1\"\n"
    "  echo \"ppid=$PPID\"\n"
    "  echo \"sid=$(cut -d' ' -f6 /proc/$$/stat)\"\n"
    "  echo \"stdin=$(readlink /proc/$$/fd/0)\"\n"
    "  echo \"sigign=$(grep SigIgn /proc/$$/status | cut -f2)\"\n"
    "  printf 'fds='\n"
    "  for f in /proc/$$/fd/*; do printf '%s ' \"$(readlink \"$f\")\"; done\n"
    "  echo\n"
    "} >\"$out.tmp\"\n"
    "mv \"$out.tmp\" \"$out.txt\"\n";

class ProgramStartTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }

    std::string Write(const std::string& name, const std::string& text, mode_t mode) {
        const std::string path = dir_ + "/" + name;
        WriteFile(path, text);
        chmod(path.c_str(), mode);
        return path;
    }

    // The reporter's findings, key -> value; empty when it did not report in time.
    std::map<std::string, std::string> Report() {
        const std::string path = dir_ + "/report.txt";
        WaitUntil([&] { return FileExists(path); }, kReportWaitMs);
        std::map<std::string, std::string> values;
        std::istringstream in(ReadFile(path));
        std::string line;
        while (std::getline(in, line)) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos) {
                values[line.substr(0, eq)] = line.substr(eq + 1);
            }
        }
        return values;
    }

    static bool NoChildren() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

    ScratchDir scratch_{"os-start"};
    std::string dir_ = scratch_.Path();
};
}  // namespace

TEST_F(ProgramStartTest, ParametersArriveAsOneArgumentInASessionOfItsOwn) {
    const std::string script = Write("TORVIX.EXE", kReporter, 0755);
    ASSERT_TRUE(StartProgram(script, "/NAME:Kitchen Panel 2"));
    EXPECT_TRUE(NoChildren());
    auto report = Report();
    ASSERT_FALSE(report.empty());
    EXPECT_EQ("1", report["argc"]);
    EXPECT_EQ("/NAME:Kitchen Panel 2", report["arg1"]);
    EXPECT_NE(std::to_string(getpid()), report["ppid"]);  // never our child
    EXPECT_NE(std::to_string(getsid(0)), report["sid"]);
    EXPECT_EQ("/dev/null", report["stdin"]);
}

TEST_F(ProgramStartTest, AKeptChildIsOursInASessionOfItsOwnUntilReaped) {
    const std::string script = Write("TORVIX.EXE", std::string(kReporter) + "exit 7\n", 0755);
    const pid_t pid = StartChildProgram(script, "/NAME:Hall");
    ASSERT_GT(pid, 0);
    auto report = Report();
    ASSERT_FALSE(report.empty());
    EXPECT_EQ("/NAME:Hall", report["arg1"]);
    EXPECT_EQ(std::to_string(getpid()), report["ppid"]);
    EXPECT_NE(std::to_string(getsid(0)), report["sid"]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
    EXPECT_TRUE(NoChildren());
}

TEST_F(ProgramStartTest, NoParametersMeansNoArgument) {
    const std::string script = Write("TORVIX.EXE", kReporter, 0755);
    for (const char* parameters : {static_cast<const char*>(nullptr), ""}) {
        unlink((dir_ + "/report.txt").c_str());
        ASSERT_TRUE(StartProgram(script, parameters));
        auto report = Report();
        ASSERT_FALSE(report.empty());
        EXPECT_EQ("0", report["argc"]);
    }
}

TEST_F(ProgramStartTest, ChildHoldsNoneOfTheParentsDescriptors) {
    const std::string marker = Write("marker", "x", 0644);
    const int inherited = open(marker.c_str(), O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(inherited, 0);
    const std::string script = Write("TORVIX.EXE", kReporter, 0755);
    const bool started = StartProgram(script, "/R");
    close(inherited);
    ASSERT_TRUE(started);
    auto report = Report();
    ASSERT_FALSE(report.empty());
    EXPECT_EQ("/R", report["arg1"]);
    EXPECT_EQ(std::string::npos, report["fds"].find(marker)) << report["fds"];
}

TEST_F(ProgramStartTest, DownloadedFileWithoutExecuteBitIsMadeExecutable) {
    const std::string script = Write("TORVIX.EXE", kReporter, 0644);
    ASSERT_TRUE(StartProgram(script, "/NAME:Hall"));
    struct stat st {};
    ASSERT_EQ(0, stat(script.c_str(), &st));
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ("/NAME:Hall", Report()["arg1"]);
}

TEST_F(ProgramStartTest, FilesThatCannotRunAreFailedStarts) {
    EXPECT_FALSE(StartProgram(dir_ + "/missing.exe", "/R"));
    EXPECT_FALSE(StartProgram(dir_, nullptr));  // a directory
    EXPECT_FALSE(StartProgram("", nullptr));
    // Not a program at all: neither an ELF file nor a script.
    EXPECT_FALSE(StartProgram(Write("garbage.exe", std::string("\x01\x02\x03 not a program\n"), 0644), "/R"));
    // A script whose interpreter does not exist.
    EXPECT_FALSE(StartProgram(Write("noshell.exe", "#!/nonexistent/shell\n", 0755), nullptr));
    for (const char* name : {"missing.exe", "", "garbage.exe", "noshell.exe"}) {
        EXPECT_EQ(-1, StartChildProgram(dir_ + "/" + name, nullptr)) << name;  // "" is the folder
    }
    EXPECT_TRUE(NoChildren());
}

TEST_F(ProgramStartTest, SampleApplicationStartsAndLeavesNoZombie) {
    const std::string copy = dir_ + "/TORVIX.EXE";
    ASSERT_EQ(0, std::system(("cp '" DEMO_APP_BIN "' '" + copy + "' && chmod 0644 '" + copy + "'").c_str()));
    const std::string log = dir_ + "/demo.log";
    bool started = false;
    {
        const EnvGuard runtime("QUILLON_RUNTIME_DIR", dir_);
        const EnvGuard appLog("DEMO_APP_LOG", log);
        const EnvGuard seconds("DEMO_APP_SECONDS", "0");
        started = StartProgram(copy, "/NAME:Kitchen Panel 2");
    }
    ASSERT_TRUE(started);
    EXPECT_TRUE(NoChildren());
    std::string first;
    WaitUntil(
        [&] {
            const std::string text = ReadFile(log);
            first = text.substr(0, text.find('\n'));
            return !first.empty();
        },
        kReportWaitMs);
    EXPECT_NE(std::string::npos, first.find("started args: [/NAME:Kitchen Panel 2]")) << first;
}

TEST_F(ProgramStartTest, IgnoredSignalsOfTheLauncherAreNotPassedOn) {
    // A launcher may ignore SIGCHLD (the system then reaps by itself) and SIGPIPE.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldChld {};
    struct sigaction oldPipe {};
    sigaction(SIGCHLD, &ignore, &oldChld);
    sigaction(SIGPIPE, &ignore, &oldPipe);
    const std::string script = Write("TORVIX.EXE", kReporter, 0755);
    const bool started = StartProgram(script, "/R");
    const bool missing = StartProgram(dir_ + "/missing.exe", "/R");
    const bool garbage = StartProgram(Write("garbage.exe", "\x01\x02 not a program\n", 0755), "/R");
    sigaction(SIGCHLD, &oldChld, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    EXPECT_TRUE(started);
    EXPECT_FALSE(missing);
    EXPECT_FALSE(garbage);
    auto report = Report();
    ASSERT_FALSE(report.empty());
    EXPECT_EQ("0000000000000000", report["sigign"]);
}

TEST_F(ProgramStartTest, AStartFromADescriptorRunsThatFileWhateverThePathNamesNow) {
    // The checked file runs even when another file was renamed over its path after the check. A
    // script started so sees itself as /dev/fd/N, so this one names its folder outright.
    const std::string script = Write(
        "TORVIX.EXE",
        "#!/bin/sh\nout='" + dir_ + "/report'\n{ echo \"arg1=$1\"; echo \"ppid=$PPID\"; } >\"$out.tmp\"\n" +
            "mv \"$out.tmp\" \"$out.txt\"\nexit 7\n",
        0644);
    const int fd = open(script.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string swapped =
        Write("swapped", "#!/bin/sh\ntouch \"$(dirname \"$0\")/swapped-ran\"\n", 0755);
    ASSERT_EQ(0, rename(swapped.c_str(), script.c_str()));
    const pid_t pid = StartChildProgramFromFd(fd, script, "/NAME:Hall");
    close(fd);
    ASSERT_GT(pid, 0);
    auto report = Report();
    ASSERT_FALSE(report.empty());
    EXPECT_EQ("/NAME:Hall", report["arg1"]);
    EXPECT_EQ(std::to_string(getpid()), report["ppid"]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
    EXPECT_FALSE(FileExists(dir_ + "/swapped-ran"));

    // What cannot run is a failed start, and no child is left behind.
    const int garbage =
        open(Write("garbage.exe", "\x01\x02 not a program\n", 0755).c_str(), O_RDONLY | O_CLOEXEC);
    const int folder = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const int bad : {garbage, folder, -1}) {
        EXPECT_EQ(-1, StartChildProgramFromFd(bad, "x", nullptr)) << bad;
    }
    close(garbage);
    close(folder);
    EXPECT_TRUE(NoChildren());
}
