// Answers `quillon --status` from a helper thread: a Unix stream socket in the runtime folder
// (mode 0700, so only the same user reaches it; the peer's uid is checked as well) serving the
// last snapshot the loop handed in. The loop never waits for a client and a client never waits
// for the loop, so the answer comes at once even while a download or a query blocks the loop.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <thread>

#include "QUILLON/statussnapshot.h"

class StatusServer {
public:
    // How long one client may take to send its request and read the answer.
    static constexpr int kClientTimeoutMs = 500;

    StatusServer() = default;
    ~StatusServer() { Stop(); }
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Listens on <runtimeDir>/quillon-status (a file left there by a launcher that died is
    // replaced: the caller holds the instance lock) and starts the helper thread. False, with
    // Problem() saying why, when the socket cannot be made; the launcher runs on without it.
    bool Start(const std::string& runtimeDir);
    // Ends the helper thread and removes the socket (only while it is still ours). Blocks until
    // a client being served is done (at most kClientTimeoutMs).
    void Stop();
    // Replaces the snapshot served from now on. Takes a lock held only for the copy.
    void Update(const StatusSnapshot& snapshot);
    // A copy of the snapshot being served.
    StatusSnapshot Current() const;

    const std::string& Problem() const { return problem_; }

private:
    void Serve();
    void Answer(int client) const;

    mutable std::mutex mutex_;
    StatusSnapshot snapshot_;
    std::thread thread_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::string path_;
    ino_t inode_ = 0;
    std::string problem_;
};
