// One source of the loop's work: the descriptors it wants watched and when it is next due.
#pragma once

#include <poll.h>

#include <cstdint>
#include <vector>

class LoopSource {
public:
    virtual ~LoopSource() = default;
    // Appends the descriptors whose readiness brings this source work (POLLIN).
    virtual void AppendDescriptors(std::vector<pollfd>* fds) { (void)fds; }
    // Milliseconds from tick `now` until this source has work (0: now); kWaitForever when only
    // one of its descriptors can bring work.
    virtual uint32_t MsUntilDue(uint32_t now) = 0;
    // After each wait, with the descriptors of all sources and what the wait saw on them.
    virtual void AfterWait(const std::vector<pollfd>& fds) { (void)fds; }
};
