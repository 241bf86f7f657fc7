#include "COMMON/BM_OS/programstart.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>

namespace {
constexpr int kExecReportTimeoutMs = 10000;  // the exec happens long before this
constexpr int kFirstSignal = 1;
constexpr int kLastSignal = 64;

// Gives the file its owner-execute bit (a downloaded file has none). False when the file is
// missing or not a regular file.
bool PrepareExecutable(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    if (!(st.st_mode & S_IXUSR)) {
        // A failure here is left to the exec, which then reports it.
        chmod(path.c_str(), (st.st_mode & 07777) | S_IXUSR);
    }
    return true;
}

void CloseRange(int first, int last) {
    if (first > last) {
        return;
    }
    if (close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0) {
        return;
    }
    for (int fd = first; fd <= last; ++fd) {
        close(fd);
    }
}

// Reports errno as the reason the start failed, and ends the (child) process.
[[noreturn]] void ReportFailure(int reportFd) {
    const int error = errno != 0 ? errno : EINVAL;
    ssize_t ignored = write(reportFd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

// Writes `value` (>= 0) as decimal digits and a terminator at `out` (room for 11 bytes); no
// library call, as it runs between fork and exec.
void FormatDecimal(char* out, int value) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 && n < 11);
    while (n > 0) {
        *out++ = digits[--n];
    }
    *out = '\0';
}

// Runs in the grandchild: only async-signal-safe calls from here on. With `execFd` >= 0 the
// program is that descriptor's file (and `path` only its argv[0]).
[[noreturn]] void ExecProgram(const char* path, char* const argv[], int reportFd, int maxFd,
                              int execFd = -1) {
    if (reportFd <= STDERR_FILENO) {
        // Keep the report channel clear of the standard descriptors set up below.
        const int moved = fcntl(reportFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0) {
            ReportFailure(reportFd);
        }
        reportFd = moved;
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = kFirstSignal; sig <= kLastSignal; ++sig) {
        signal(sig, SIG_DFL);  // ignored signals would otherwise stay ignored in the program
    }
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0 && null != STDIN_FILENO) {
        dup2(null, STDIN_FILENO);  // dup2 clears close-on-exec on the copy
    }
    if (execFd < 0) {
        CloseRange(3, reportFd - 1);
        CloseRange(reportFd + 1, maxFd);
        execv(path, argv);
        ReportFailure(reportFd);
    }
    if (execFd <= STDERR_FILENO) {
        const int moved = fcntl(execFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0) {
            ReportFailure(reportFd);
        }
        execFd = moved;
    }
    const int low = execFd < reportFd ? execFd : reportFd;
    const int high = execFd < reportFd ? reportFd : execFd;
    CloseRange(3, low - 1);
    CloseRange(low + 1, high - 1);
    CloseRange(high + 1, maxFd);
    execveat(execFd, "", argv, environ, AT_EMPTY_PATH);
    if (errno == ENOENT) {
        // A script: its interpreter opens it as /dev/fd/N, which needs the descriptor kept open.
        fcntl(execFd, F_SETFD, 0);
        execveat(execFd, "", argv, environ, AT_EMPTY_PATH);
    }
    if (errno == ENOSYS) {
        // No execveat (an old kernel, or an emulator such as qemu-user): the descriptor's file
        // by its /proc name, kept open for a script's interpreter.
        char byFd[32] = "/proc/self/fd/";
        FormatDecimal(byFd + 14, execFd);
        fcntl(execFd, F_SETFD, 0);
        execv(byFd, argv);
    }
    ReportFailure(reportFd);
}

// Waits for the report of both children: EOF alone means the exec succeeded, an errno value
// that the session, the program's process or the exec failed.
bool ExecSucceeded(int readFd) {
    int error = 0;
    size_t got = 0;
    for (;;) {
        pollfd p{readFd, POLLIN, 0};
        const int ready = poll(&p, 1, kExecReportTimeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t n = read(readFd, reinterpret_cast<char*>(&error) + got, sizeof error - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return got == 0 && n == 0;
        }
        got += static_cast<size_t>(n);
        if (got == sizeof error) {
            return false;
        }
    }
}

// Collects the intermediate process so that it leaves no zombie. Its outcome travels through
// the report pipe, so this still works when SIGCHLD is ignored and the system reaped it already.
void ReapIntermediate(pid_t pid) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// What both ways of starting need, made before fork: after it only async-signal-safe calls.
struct ExecPlan {
    std::string program;
    std::string argument;
    char* argv[3] = {nullptr, nullptr, nullptr};
    int maxFd = 65535;

    ExecPlan(const std::string& path, const char* parameters)
        : program(path), argument(parameters ? parameters : "") {
        argv[0] = program.data();
        argv[1] = argument.empty() ? nullptr : argument.data();
        struct rlimit limit {};
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            limit.rlim_cur < INT_MAX) {
            maxFd = static_cast<int>(limit.rlim_cur) - 1;
        }
    }
};
// One fork, its own session, the exec (of `execFd`'s file when >= 0, else of `path`) reported
// through a pipe. The child's process id once the exec succeeded, or -1.
pid_t StartChild(const std::string& path, const char* parameters, int execFd) {
    ExecPlan plan(path, parameters);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (child == 0) {
        close(report[0]);
        if (setsid() < 0) {
            ReportFailure(report[1]);
        }
        ExecProgram(plan.argv[0], plan.argv, report[1], plan.maxFd, execFd);
    }
    close(report[1]);
    const bool started = ExecSucceeded(report[0]);
    close(report[0]);
    if (!started) {
        ReapIntermediate(child);  // a failed exec ended the child: collect it
        return -1;
    }
    return child;
}
}  // namespace

bool StartProgram(const std::string& path, const char* parameters) {
    if (path.empty() || !PrepareExecutable(path)) {
        return false;
    }
    ExecPlan plan(path, parameters);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t intermediate = fork();
    if (intermediate < 0) {
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (intermediate == 0) {
        // The intermediate process: new session, start the program, leave at once so that the
        // program is adopted by init and never waits as our zombie.
        close(report[0]);
        if (setsid() < 0) {
            ReportFailure(report[1]);
        }
        const pid_t programPid = fork();
        if (programPid == 0) {
            ExecProgram(plan.argv[0], plan.argv, report[1], plan.maxFd);
        }
        if (programPid < 0) {
            ReportFailure(report[1]);
        }
        _exit(0);
    }
    close(report[1]);
    const bool started = ExecSucceeded(report[0]);
    close(report[0]);
    ReapIntermediate(intermediate);
    return started;
}

pid_t StartChildProgram(const std::string& path, const char* parameters) {
    if (path.empty() || !PrepareExecutable(path)) {
        return -1;
    }
    return StartChild(path, parameters, -1);
}

pid_t StartChildProgramFromFd(int fd, const std::string& path, const char* parameters) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    if (!(st.st_mode & S_IXUSR)) {
        fchmod(fd, (st.st_mode & 07777) | S_IXUSR);  // a failure is left to the exec
    }
    return StartChild(path.empty() ? std::string("program") : path, parameters, fd);
}
