// The tablet applications this launcher started, kept as its children so that their end is
// seen: reaped without waiting from the supervisor loop.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// How one started application ended.
struct TabletEnd {
    bool signalled = false;  // killed by a signal (`code` is the signal) or exited (`code`)
    int code = 0;
    uint32_t runMs = 0;  // from its start to the reap that saw its end
};

class TabletChild {
public:
    // Tracks `pid`, started at tick `now`.
    void Started(pid_t pid, uint32_t now);
    // Reaps one tracked child that has ended (waitpid WNOHANG); nothing when none has. A child
    // that is gone without a status (reaped elsewhere) is forgotten. Never blocks.
    std::optional<TabletEnd> Reap(uint32_t now);
    size_t Tracked() const { return children_.size(); }
    // The most recently started child still tracked (not yet seen ending): its pid and start tick.
    struct Launched {
        pid_t pid;
        uint32_t at;
    };
    std::optional<Launched> Newest() const;

private:
    struct Child {
        pid_t pid;
        uint32_t startedAt;
    };
    std::vector<Child> children_;
};

// "Torvix exited with code 1 after 2 s" / "Torvix killed by signal 9 after 5 s".
std::string DescribeEnd(const TabletEnd& end);
