// EventLoop: the launcher's one wait. Each source of work registers once; the wait watches
// every source's descriptors and lasts until the nearest deadline any source names.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "QUILLON/loopsource.h"

class EventLoop {
public:
    // A timed step: milliseconds from tick `now` until it is due (kWaitForever: not due).
    using Deadline = std::function<uint32_t(uint32_t now)>;

    // Registers `source` (not owned; it must outlive the loop or be removed).
    void Add(LoopSource* source);
    void Remove(LoopSource* source);
    // Registers a step that has only a deadline.
    void AddTimedStep(Deadline due);

    // The least of all deadlines at tick `now` (kWaitForever when none is due), leaving out
    // `except` (may be null).
    uint32_t NextWaitMs(uint32_t now, const LoopSource* except = nullptr) const;
    // Waits until a descriptor is ready, the program's stop is asked for, or `timeoutMs` passed;
    // then hands each source what the wait saw. True when a descriptor was ready.
    bool Wait(uint32_t timeoutMs);

private:
    std::vector<LoopSource*> sources_;
    std::vector<Deadline> steps_;
};
