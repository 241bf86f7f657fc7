#include "tests/support/peer_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

extern char** environ;

namespace {
constexpr int kReapStepMs = 5;
constexpr int kReaderPollMs = 50;
// Once stopped, what is still in the pipe is taken, but a grandchild that keeps the pipe open
// and busy cannot hold the reader for longer than this.
constexpr auto kReaderDrain = std::chrono::milliseconds(500);

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}
}  // namespace

std::vector<std::string> PeerProcess::EnvironmentWith(const std::vector<std::string>& env,
                                                      const std::vector<std::string>& unset) {
    std::vector<std::string> out;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry = *e;
        bool drop = false;
        for (const std::string& name : unset) {
            drop = drop || NameOf(entry) == name;
        }
        for (const std::string& added : env) {
            drop = drop || NameOf(entry) == NameOf(added);
        }
        if (!drop) {
            out.push_back(entry);
        }
    }
    out.insert(out.end(), env.begin(), env.end());
    return out;
}

bool PeerProcess::Start(const std::string& program, const std::vector<std::string>& args,
                        const std::vector<std::string>& env) {
    Options options;
    options.args = args;
    options.env = env;
    return Start(program, options);
}

bool PeerProcess::Start(const std::string& program, const Options& options) {
    Stop();
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), options.args.begin(), options.args.end());
    std::vector<std::string> envStore = EnvironmentWith(options.env, options.unsetEnv);
    std::vector<char*> argv = Pointers(argStore);
    std::vector<char*> envp = Pointers(envStore);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(126);
        }
        dup2(fds[1], STDOUT_FILENO);
        if (options.mergeStderr) {
            dup2(fds[1], STDERR_FILENO);
        }
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) {
            _exit(126);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    setpgid(pid, pid);  // also from here, so that the group exists before we ever signal it
    pid_ = pid;
    exited_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
        partial_.clear();
        eof_ = false;
    }
    stopReader_ = false;
    reader_ = std::thread([this, fd = fds[0]] { ReadLoop(fd); });
    return true;
}

std::optional<std::string> PeerProcess::FindLine(const std::string& prefix, size_t from,
                                                 size_t* foundIndex) const {
    for (size_t i = from; i < lines_.size(); ++i) {
        if (lines_[i].compare(0, prefix.size(), prefix) == 0) {
            if (foundIndex != nullptr) {
                *foundIndex = i;
            }
            return lines_[i];
        }
    }
    return std::nullopt;
}

std::optional<std::string> PeerProcess::WaitForLine(const std::string& prefix, int timeoutMs, size_t from,
                                                    size_t* foundIndex) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (auto line = FindLine(prefix, from, foundIndex)) {
            return line;
        }
        if (eof_ || cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
            // One last look: lines may have come with the wake-up.
            return FindLine(prefix, from, foundIndex);
        }
    }
}

int PeerProcess::ListenPort(int timeoutMs) {
    const std::optional<std::string> line = WaitForLine("LISTEN ", timeoutMs);
    if (!line) {
        return -1;
    }
    const size_t space = line->rfind(' ');
    return std::atoi(line->c_str() + space + 1);
}

std::vector<std::string> PeerProcess::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

size_t PeerProcess::LineCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

size_t PeerProcess::CountLines(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const std::string& line : lines_) {
        n += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    }
    return n;
}

std::string PeerProcess::Transcript() const {
    std::string out;
    for (const std::string& line : Lines()) {
        out += line + "\n";
    }
    return out;
}

void PeerProcess::Signal(int sig) {
    if (pid_ > 0 && !exited_) {
        kill(pid_, sig);
    }
}

std::optional<int> PeerProcess::WaitExit(int timeoutMs) {
    if (pid_ > 0 && Reap(timeoutMs)) {
        return status_;
    }
    return std::nullopt;
}

int PeerProcess::Stop(int graceMs) {
    int result = -1;
    if (pid_ > 0) {
        if (!exited_) {
            kill(pid_, SIGTERM);
            if (!Reap(graceMs)) {
                kill(pid_, SIGKILL);
                Reap(-1);
            }
        }
        kill(-pid_, SIGKILL);  // only our own group; fails harmlessly when it is gone
        result = status_;
        pid_ = -1;
    }
    if (reader_.joinable()) {
        stopReader_ = true;
        reader_.join();
    }
    return result;
}

bool PeerProcess::Reap(int timeoutMs) {
    if (exited_) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, timeoutMs < 0 ? 0 : WNOHANG);
        if (r == pid_ || (r < 0 && errno == ECHILD)) {
            status_ = status;
            exited_ = true;
            return true;
        }
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kReapStepMs));
    }
}

void PeerProcess::ReadLoop(int fd) {
    char buf[4096];
    std::optional<std::chrono::steady_clock::time_point> stopSeen;
    for (;;) {
        if (stopReader_ && !stopSeen) {
            stopSeen = std::chrono::steady_clock::now();
        }
        if (stopSeen && std::chrono::steady_clock::now() - *stopSeen > kReaderDrain) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, kReaderPollMs);
        if (ready == 0) {
            if (stopReader_) {
                break;
            }
            continue;
        }
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        partial_.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
            lines_.push_back(partial_.substr(start, nl - start));
        }
        partial_.erase(0, start);
        cv_.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!partial_.empty()) {
        lines_.push_back(partial_);
        partial_.clear();
    }
    eof_ = true;
    cv_.notify_all();
}

int FreeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

int RunToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool quiet) {
    std::vector<std::string> argStore = argv;
    std::vector<std::string> envStore = PeerProcess::EnvironmentWith(env);
    std::vector<char*> args = Pointers(argStore);
    std::vector<char*> envp = Pointers(envStore);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
