// Test helper: runs another program of the project (the gateway peer, the launcher, the demo
// application) as a child, captures its standard output line by line and ends it on
// destruction.
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

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
               const std::vector<std::string>& env = {});
    bool Start(const std::string& program, const Options& options);

    // Waits up to `timeoutMs` for a captured line, at index `from` or later, that begins with
    // `prefix`. Returns the line (and its index through `foundIndex`), or nothing on time-out or
    // when the output ended without one.
    std::optional<std::string> WaitForLine(const std::string& prefix, int timeoutMs, size_t from = 0,
                                           size_t* foundIndex = nullptr);
    // The TCP port from the "LISTEN <addr> <port>" line, or -1 if none came within `timeoutMs`.
    int ListenPort(int timeoutMs = 5000);

    std::vector<std::string> Lines() const;
    size_t LineCount() const;
    // Number of captured lines that begin with `prefix`.
    size_t CountLines(const std::string& prefix) const;
    // All captured lines, one per line, for failure messages.
    std::string Transcript() const;

    pid_t Pid() const { return pid_; }
    bool Running() { return pid_ > 0 && !Reap(0); }
    void Signal(int sig);
    // Waits up to `timeoutMs` for the child to end by itself; returns its wait status.
    std::optional<int> WaitExit(int timeoutMs);
    // Ends the child: SIGTERM, then SIGKILL after `graceMs`; also ends what is left in its
    // process group. Returns the wait status (or -1 if nothing was running).
    int Stop(int graceMs = 2000);

    // The environment of this process with `env` entries added or replacing and `unset` names
    // removed, as NAME=VALUE entries.
    static std::vector<std::string> EnvironmentWith(const std::vector<std::string>& env,
                                                    const std::vector<std::string>& unset = {});

private:
    // The first captured line from index `from` on that begins with `prefix`; needs mutex_.
    std::optional<std::string> FindLine(const std::string& prefix, size_t from, size_t* foundIndex) const;
    // Reaps the child within `timeoutMs` (-1: block). True once it has exited.
    bool Reap(int timeoutMs);
    void ReadLoop(int fd);

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
int FreeUdpPort();

// Runs `argv` to its end with this process's environment plus `env` (NAME=VALUE), standard output
// (and with `quiet` standard error too) to /dev/null. Blocks; returns the exit code, or -1 when it
// could not start or did not exit normally.
int RunToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
             bool quiet = false);
