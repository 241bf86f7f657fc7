// StatusFacts: the launcher's facts gathered for the status report, from the core's state and
// from what the loop saw change (when the gateway connected, when the application was first
// seen running). Ticks become wall-clock times here.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

#include "QUILLON/statussnapshot.h"

class Launcher;

class StatusFacts {
public:
    // Looks at `launcher` at tick `now` (wall time `wall`): notes a connect or the application
    // showing up, and returns the facts. Never blocks.
    StatusSnapshot Gather(Launcher& launcher, uint32_t now, time_t wall);

private:
    // The wall-clock second of tick `tick` (within about 24 days of the base), on one base pair
    // so that a time does not wobble between passes; the base follows a wall clock that was set.
    int64_t WallOf(uint32_t tick) const;
    void Rebase(uint32_t now, time_t wall);

    uint32_t baseTick_ = 0;
    int64_t baseWall_ = 0;
    bool based_ = false;
    bool wasConnected_ = false;
    std::optional<int64_t> connectedSince_;
    bool wasRunning_ = false;
    std::optional<int64_t> runningSince_;
    // The installed file's own version, read while the core has not read it (after a first
    // install the application starts before any version check): again after a download or a
    // start or end, else at most every kFileVersionMs.
    static constexpr uint32_t kFileVersionMs = 10000;
    std::string fileVersion_;
    uint32_t fileVersionAt_ = 0;
    std::optional<std::pair<uint32_t, bool>> fileVersionKey_;  // last download's tick, running
};
