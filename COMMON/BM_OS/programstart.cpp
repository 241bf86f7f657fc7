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

// Runs in the grandchild: only async-signal-safe calls from here on.
[[noreturn]] void ExecProgram(const char* path, char* const argv[], int reportFd, int maxFd) {
    if (reportFd <= STDERR_FILENO) {
        // Keep the report channel clear of the standard descriptors set up below.
        const int moved = fcntl(reportFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0) {
            _exit(126);
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
    CloseRange(3, reportFd - 1);
    CloseRange(reportFd + 1, maxFd);
    execv(path, argv);
    const int error = errno;
    ssize_t ignored = write(reportFd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

// Waits for the exec report: EOF means the exec succeeded, an errno value that it failed.
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

// Collects the intermediate process so that it leaves no zombie; true when it exited cleanly
// (it fails when it could not make the session or the program's process).
bool ReapIntermediate(pid_t pid) {
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    return r == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
}  // namespace

bool StartProgram(const std::string& path, const char* parameters) {
    if (path.empty() || !PrepareExecutable(path)) {
        return false;
    }
    // Everything the children need is prepared here: after fork only async-signal-safe calls.
    std::string program = path;
    std::string argument = parameters ? parameters : "";
    char* argv[3] = {program.data(), argument.empty() ? nullptr : argument.data(), nullptr};
    struct rlimit limit {};
    int maxFd = 65535;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < INT_MAX) {
        maxFd = static_cast<int>(limit.rlim_cur) - 1;
    }

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
            _exit(126);
        }
        const pid_t program_pid = fork();
        if (program_pid == 0) {
            ExecProgram(argv[0], argv, report[1], maxFd);
        }
        _exit(program_pid < 0 ? 126 : 0);
    }
    close(report[1]);
    const bool execOk = ExecSucceeded(report[0]);
    close(report[0]);
    const bool intermediateOk = ReapIntermediate(intermediate);
    return execOk && intermediateOk;
}
