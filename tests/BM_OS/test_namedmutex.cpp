// Named mutexes across processes: a holder in another process, a holder killed outright, the
// launcher's probe of "TorvixMutex" against the sample application, and refused names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/lockwatcher.h"
#include "COMMON/BM_OS/namedmutex.h"
#include "COMMON/BM_OS/runtimedir.h"
#include "tests/support/env_guard.h"
#include "tests/support/peer_process.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/wait_until.h"

extern char** environ;

namespace {
constexpr int kStartupWaitMs = 3000;  // a process start is far quicker

// A private runtime folder for the test, removed afterwards.
class NamedMutexTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(base_.empty()); }
    ScratchDir dir_{"os-mutex"};
    std::string base_ = dir_.Path();
    std::string runtime_ = base_ + "/run";
    EnvGuard runtimeEnv_{"QUILLON_RUNTIME_DIR", runtime_};
};

// Another process that takes `name` and keeps it until killed.
class Holder {
public:
    explicit Holder(const char* name) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            NamedMutex m;
            const char answer = m.Create(name) && m.Wait(0) == WaitResult::Signalled ? 'y' : 'n';
            (void)!write(ready[1], &answer, 1);
            for (;;) {
                pause();
            }
        }
        close(ready[1]);
        char answer = 0;
        holding_ = pid_ > 0 && read(ready[0], &answer, 1) == 1 && answer == 'y';
        close(ready[0]);
    }
    ~Holder() { Kill(); }
    bool Holding() const { return holding_; }
    void Kill() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    bool holding_ = false;
};

// The launcher's probe: running unless the mutex is ours within 100 ms; never keeps it.
bool ProbeRunning(const char* name) {
    NamedMutex m;
    if (!m.Create(name)) {
        return true;
    }
    const bool ours = m.Wait(100) == WaitResult::Signalled;
    m.Release();
    m.Close();
    return !ours;
}

// Starts the sample application with extra environment entries; -1 on failure.
pid_t StartDemoApp(const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env = PeerProcess::EnvironmentWith(extraEnv);
    std::vector<char*> envp;
    for (std::string& s : env) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::string program = DEMO_APP_BIN;
    std::string arg = "/NAME:Probe";
    char* argv[] = {program.data(), arg.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int r = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return r == 0 ? pid : -1;
}

// Waits (bounded) until the probe gives `running`.
bool ProbeBecomes(const char* name, bool running) {
    return WaitUntil([&] { return ProbeRunning(name) == running; }, kStartupWaitMs);
}

// A started process (or process group) that is killed when the test ends, passed or not.
class Child {
public:
    explicit Child(pid_t pid, bool group = false) : pid_(pid), group_(group) {}
    ~Child() {
        if (pid_ > 0) {
            Stop(SIGKILL);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    bool Started() const { return pid_ > 0; }
    // Sends `sig` and collects the process; gives its wait status.
    int Stop(int sig) {
        kill(group_ ? -pid_ : pid_, sig);
        return Wait();
    }
    int Wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_;
    bool group_;
};
}  // namespace

TEST_F(NamedMutexTest, WaitTimesOutWhileAnotherProcessHolds) {
    Holder holder("QuillonMutex");
    ASSERT_TRUE(holder.Holding());
    ScopedManualClock clock(1000);
    NamedMutex m;
    ASSERT_TRUE(m.Create("QuillonMutex"));
    EXPECT_EQ(WaitResult::TimedOut, m.Wait(100));
    EXPECT_GE(clock->Now(), 1100u);
    EXPECT_LE(clock->Now(), 1100u + NamedMutex::kPollMs);
    EXPECT_FALSE(m.IsOwned());
    EXPECT_FALSE(m.Release());
    EXPECT_EQ(WaitResult::TimedOut, m.Wait(0));
}

TEST_F(NamedMutexTest, WaitOnTheRealClockLastsAboutTheTimeOut) {
    Holder holder("QuillonMutex");
    ASSERT_TRUE(holder.Holding());
    NamedMutex m;
    ASSERT_TRUE(m.Create("QuillonMutex"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitResult::TimedOut, m.Wait(100));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 99);  // the tick counter counts whole milliseconds
    EXPECT_LT(ms.count(), 600);
}

TEST_F(NamedMutexTest, KilledHolderFreesTheMutexAtOnce) {
    ScopedManualClock clock;
    Holder holder("ShutdownQuillonMutex");
    ASSERT_TRUE(holder.Holding());
    NamedMutex m;
    ASSERT_TRUE(m.Create("ShutdownQuillonMutex"));
    ASSERT_EQ(WaitResult::TimedOut, m.Wait(0));
    holder.Kill();
    EXPECT_EQ(WaitResult::Signalled, m.Wait(0));
    EXPECT_TRUE(m.IsOwned());
}

TEST_F(NamedMutexTest, HandlesInOneProcessConflictUntilReleased) {
    ScopedManualClock clock;
    NamedMutex first;
    NamedMutex second;
    ASSERT_TRUE(first.Create("QuillonMutex"));
    ASSERT_TRUE(second.Create("QuillonMutex"));
    ASSERT_EQ(WaitResult::Signalled, first.Wait(100));
    EXPECT_EQ(WaitResult::Signalled, first.Wait(0));  // already ours
    EXPECT_EQ(WaitResult::TimedOut, second.Wait(50));
    EXPECT_TRUE(first.Release());
    EXPECT_FALSE(first.Release());
    EXPECT_EQ(WaitResult::Signalled, second.Wait(0));
    second.Close();  // closing releases
    EXPECT_EQ(WaitResult::Signalled, first.Wait(0));
    first.Close();
    EXPECT_EQ(WaitResult::Failed, first.Wait(0));
    EXPECT_TRUE(first.Create("QuillonMutex"));  // reusable after Close
}

TEST_F(NamedMutexTest, WatcherTellsOfAReleaseAndOfANewOpenerButNotOfItsOwnChecks) {
    LockWatcher watcher;
    ASSERT_TRUE(watcher.Open("TorvixMutex"));
    std::vector<pollfd> fds;
    watcher.AppendDescriptors(&fds);
    ASSERT_EQ(fds.size(), 2u);
    const auto ready = [&fds](int ms) { return poll(fds.data(), fds.size(), ms) > 0; };
    EXPECT_FALSE(ready(0));

    NamedMutex holder;  // its open of the lock file is seen
    ASSERT_TRUE(holder.Create("TorvixMutex"));
    ASSERT_EQ(WaitResult::Signalled, holder.Wait(0));
    ASSERT_TRUE(ready(1000));
    EXPECT_EQ(watcher.TakeEvents(), LockWatcher::kOpened);
    watcher.ArmRelease();
    watcher.ArmRelease();  // once armed, again is nothing
    EXPECT_FALSE(ready(50));
    holder.Release();
    ASSERT_TRUE(ready(1000));
    EXPECT_EQ(watcher.TakeEvents(), LockWatcher::kReleased);
    EXPECT_FALSE(ready(50));  // one release, one event; the helper's own lock raised no open
    EXPECT_EQ(WaitResult::Signalled, holder.Wait(0));  // and it let go at once
}

TEST_F(NamedMutexTest, RuntimeFolderIsPrivateAndLockFilesStayInIt) {
    NamedMutex m;
    ASSERT_TRUE(m.Create("TorvixMutex"));
    EXPECT_FALSE(m.Create("TorvixMutex"));  // already open
    struct stat st {};
    ASSERT_EQ(0, stat(runtime_.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    EXPECT_EQ(0, access((runtime_ + "/TorvixMutex").c_str(), F_OK));

    // The lock descriptor is not passed on to programs this process starts.
    bool found = false;
    for (int fd = 3; fd < 1024; ++fd) {
        char link[4096];
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = readlink(proc.c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, static_cast<size_t>(n)) == runtime_ + "/TorvixMutex") {
            found = true;
            EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(NamedMutexTest, NamesThatCouldLeaveTheFolderAreRefused) {
    for (const char* name : {"a/b", "/TorvixMutex", "..", "../TorvixMutex", "x..y", ".", ""}) {
        NamedMutex m;
        EXPECT_FALSE(m.Create(name)) << name;
        EXPECT_FALSE(m.IsOpen());
        EXPECT_EQ(WaitResult::Failed, m.Wait(0));
    }
    EXPECT_NE(0, access((base_ + "/TorvixMutex").c_str(), F_OK));
}

TEST_F(NamedMutexTest, UnusableRuntimeFolderFailsCreate) {
    const std::string file = base_ + "/plain-file";
    ASSERT_EQ(0, std::system(("touch '" + file + "'").c_str()));
    setenv("QUILLON_RUNTIME_DIR", file.c_str(), 1);
    NamedMutex m;
    EXPECT_FALSE(m.Create("QuillonMutex"));
    EXPECT_TRUE(ProbeRunning("TorvixMutex"));  // the launcher then treats it as running
}

TEST_F(NamedMutexTest, ProbeFollowsTheSampleApplication) {
    ScopedManualClock clock;
    EXPECT_FALSE(ProbeRunning("TorvixMutex"));
    EXPECT_FALSE(ProbeRunning("TorvixMutex"));  // the probe itself left it free

    Child app(StartDemoApp({"DEMO_APP_SECONDS=20", "DEMO_APP_HOLD_SHUTDOWN=1"}));
    ASSERT_TRUE(app.Started());
    EXPECT_TRUE(ProbeBecomes("TorvixMutex", true));
    EXPECT_TRUE(ProbeBecomes("ShutdownQuillonMutex", true));  // taken just after TorvixMutex

    // A second copy finds the mutex held and leaves at once.
    Child second(StartDemoApp({"DEMO_APP_SECONDS=20"}));
    ASSERT_TRUE(second.Started());
    int status = second.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);

    status = app.Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(ProbeRunning("TorvixMutex"));
    EXPECT_FALSE(ProbeRunning("ShutdownQuillonMutex"));
}

TEST_F(NamedMutexTest, SampleApplicationKilledOrCrashedIsNotRunning) {
    ScopedManualClock clock;
    Child app(StartDemoApp({"DEMO_APP_SECONDS=20"}));
    ASSERT_TRUE(app.Started());
    ASSERT_TRUE(ProbeBecomes("TorvixMutex", true));
    EXPECT_FALSE(ProbeRunning("ShutdownQuillonMutex"));
    app.Stop(SIGKILL);
    EXPECT_FALSE(ProbeRunning("TorvixMutex"));

    Child crashing(StartDemoApp({"DEMO_APP_CRASH=1"}));
    ASSERT_TRUE(crashing.Started());
    const int status = crashing.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    EXPECT_FALSE(ProbeRunning("TorvixMutex"));
}

TEST_F(NamedMutexTest, ProgramsMarkedWithTheFlockToolCountAsRunning) {
    // Any program run as "flock -n <runtime dir>/TorvixMutex program" is seen as the application.
    ScopedManualClock clock;
    ASSERT_FALSE(RuntimeDir().empty());
    std::string flock = "/usr/bin/flock";
    std::string option = "-n";
    std::string lock = runtime_ + "/TorvixMutex";
    std::string sleep = "sleep";
    std::string seconds = "20";
    char* argv[] = {flock.data(), option.data(), lock.data(), sleep.data(), seconds.data(), nullptr};
    // In a process group of its own: the tool's child shares the lock and must end with it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    const bool spawned = access(flock.c_str(), X_OK) == 0 &&
                         posix_spawn(&pid, flock.c_str(), nullptr, &attr, argv, environ) == 0;
    posix_spawnattr_destroy(&attr);
    if (!spawned) {
        GTEST_SKIP() << "no flock tool";
    }
    Child tool(pid, true);
    EXPECT_TRUE(ProbeBecomes("TorvixMutex", true));
    tool.Stop(SIGKILL);
    EXPECT_TRUE(ProbeBecomes("TorvixMutex", false));
}
