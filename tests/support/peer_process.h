// Test helper: runs another program of the project (the gateway peer, the launcher, the demo
// application) as a child, captures its standard output line by line and ends it on
// destruction. Header-only; tests include it as "tests/support/peer_process.h".
//
//   PeerProcess peer;
//   ASSERT_TRUE(peer.Start(GATEWAY_SIM_BIN, {"--discovery-port", "40001"}));
//   int port = peer.ListenPort();            // from its "LISTEN <addr> <port>" line
//   auto line = peer.WaitForLine("HELLO ", 2000);
//
// The child runs in a process group of its own and gets SIGKILL when the thread that started
// it ends (PR_SET_PDEATHSIG), so a crashed test leaves no stray process; construct it on the
// test's own thread.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class PeerProcess {
public:
    struct Options {
        std::vector<std::string> args;      // argv[1..]
        std::vector<std::string> env;       // "NAME=VALUE" added to or replacing the environment
        std::vector<std::string> unsetEnv;  // names removed from the environment
        bool mergeStderr = false;           // also capture standard error (else inherited)
        std::string workDir;                // empty: the test's own
    };

    PeerProcess() = default;
    ~PeerProcess() { Stop(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Starts `program` with `args` (and `env` entries NAME=VALUE). False if it could not be
    // started; an exec failure shows up as exit status 127.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {}) {
        Options options;
        options.args = args;
        options.env = env;
        return Start(program, options);
    }

    bool Start(const std::string& program, const Options& options) {
        Stop();
        std::vector<std::string> argStore{program};
        argStore.insert(argStore.end(), options.args.begin(), options.args.end());
        std::vector<std::string> envStore = BuildEnvironment(options);
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

    // Waits up to `timeoutMs` for a captured line, at index `from` or later, that begins with
    // `prefix`. Returns the line (and its index through `foundIndex`), or nothing on time-out or
    // when the output ended without one.
    std::optional<std::string> WaitForLine(const std::string& prefix, int timeoutMs, size_t from = 0,
                                           size_t* foundIndex = nullptr) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            for (size_t i = from; i < lines_.size(); ++i) {
                if (lines_[i].compare(0, prefix.size(), prefix) == 0) {
                    if (foundIndex != nullptr) {
                        *foundIndex = i;
                    }
                    return lines_[i];
                }
            }
            if (eof_ || cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
                // One last look: lines may have come with the wake-up.
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
        }
    }

    // The TCP port from the "LISTEN <addr> <port>" line, or -1 if none came within `timeoutMs`.
    int ListenPort(int timeoutMs = 5000) {
        const std::optional<std::string> line = WaitForLine("LISTEN ", timeoutMs);
        if (!line) {
            return -1;
        }
        const size_t space = line->rfind(' ');
        return std::atoi(line->c_str() + space + 1);
    }

    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    size_t LineCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.size();
    }

    // Number of captured lines that begin with `prefix`.
    size_t CountLines(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const std::string& line : lines_) {
            n += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
        }
        return n;
    }

    // All captured lines, one per line, for failure messages.
    std::string Transcript() const {
        std::string out;
        for (const std::string& line : Lines()) {
            out += line + "\n";
        }
        return out;
    }

    pid_t Pid() const { return pid_; }
    bool Running() { return pid_ > 0 && !Reap(0); }

    void Signal(int sig) {
        if (pid_ > 0 && !exited_) {
            kill(pid_, sig);
        }
    }

    // Waits up to `timeoutMs` for the child to end by itself; returns its wait status.
    std::optional<int> WaitExit(int timeoutMs) {
        if (pid_ <= 0) {
            return std::nullopt;
        }
        if (Reap(timeoutMs)) {
            return status_;
        }
        return std::nullopt;
    }

    // Ends the child: SIGTERM, then SIGKILL after `graceMs`; also ends what is left in its
    // process group. Returns the wait status (or -1 if nothing was running).
    int Stop(int graceMs = 2000) {
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

private:
    static std::vector<char*> Pointers(std::vector<std::string>& strings) {
        std::vector<char*> out;
        for (std::string& s : strings) {
            out.push_back(s.data());
        }
        out.push_back(nullptr);
        return out;
    }

    static std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

    static std::vector<std::string> BuildEnvironment(const Options& options) {
        std::vector<std::string> out;
        for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
            const std::string entry = *e;
            bool drop = false;
            for (const std::string& name : options.unsetEnv) {
                drop = drop || NameOf(entry) == name;
            }
            for (const std::string& added : options.env) {
                drop = drop || NameOf(entry) == NameOf(added);
            }
            if (!drop) {
                out.push_back(entry);
            }
        }
        out.insert(out.end(), options.env.begin(), options.env.end());
        return out;
    }

    // Reaps the child within `timeoutMs` (-1: block). True once it has exited.
    bool Reap(int timeoutMs) {
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
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    void ReadLoop(int fd) {
        char buf[4096];
        std::optional<std::chrono::steady_clock::time_point> stopSeen;
        for (;;) {
            // Once stopped, what is still in the pipe is taken, but a grandchild that keeps the
            // pipe open and busy cannot hold the reader for more than half a second.
            if (stopReader_ && !stopSeen) {
                stopSeen = std::chrono::steady_clock::now();
            }
            if (stopSeen && std::chrono::steady_clock::now() - *stopSeen > std::chrono::milliseconds(500)) {
                break;
            }
            pollfd p{fd, POLLIN, 0};
            const int ready = poll(&p, 1, 50);
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

    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::thread reader_;
    std::atomic<bool> stopReader_{false};
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::string partial_;
    bool eof_ = false;
};

// A UDP port that is free on loopback right now (bound to port 0, read back, released), for
// QUILLON_DISCOVERY=127.255.255.255:<port>. Returns -1 on failure.
inline int FreeUdpPort() {
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

// Sets an environment variable for a scope and restores the previous value afterwards.
class ScopedEnvVar {
public:
    ScopedEnvVar(const char* name, const std::string& value) : name_(name) {
        const char* old = std::getenv(name);
        if (old != nullptr) {
            old_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvVar() {
        if (old_) {
            setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ScopedEnvVar(const ScopedEnvVar&) = delete;
    ScopedEnvVar& operator=(const ScopedEnvVar&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};
