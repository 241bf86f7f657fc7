#include "QUILLON/eventloop.h"

#include <algorithm>

#include "COMMON/BM_OS/bmclock.h"

void EventLoop::Add(LoopSource* source) {
    if (source != nullptr && std::find(sources_.begin(), sources_.end(), source) == sources_.end()) {
        sources_.push_back(source);
    }
}

void EventLoop::Remove(LoopSource* source) {
    sources_.erase(std::remove(sources_.begin(), sources_.end(), source), sources_.end());
}

void EventLoop::AddTimedStep(Deadline due) {
    if (due) {
        steps_.push_back(std::move(due));
    }
}

uint32_t EventLoop::NextWaitMs(uint32_t now, const LoopSource* except) const {
    uint32_t wait = kWaitForever;
    for (LoopSource* source : sources_) {
        if (source != except) {
            wait = std::min(wait, source->MsUntilDue(now));
        }
    }
    for (const Deadline& due : steps_) {
        wait = std::min(wait, due(now));
    }
    return wait;
}

bool EventLoop::Wait(uint32_t timeoutMs) {
    std::vector<pollfd> fds;
    for (LoopSource* source : sources_) {
        source->AppendDescriptors(&fds);
    }
    WaitForEvents(fds.data(), fds.size(), timeoutMs);
    for (LoopSource* source : sources_) {
        source->AfterWait(fds);
    }
    return std::any_of(fds.begin(), fds.end(), [](const pollfd& fd) { return fd.revents != 0; });
}
