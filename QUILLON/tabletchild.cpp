#include "QUILLON/tabletchild.h"

#include <sys/wait.h>

#include <cerrno>

void TabletChild::Started(pid_t pid, uint32_t now) {
    if (pid > 0) {
        children_.push_back({pid, now});
    }
}

std::optional<TabletChild::Launched> TabletChild::Newest() const {
    if (children_.empty()) {
        return std::nullopt;
    }
    return Launched{children_.back().pid, children_.back().startedAt};
}

std::optional<TabletEnd> TabletChild::Reap(uint32_t now) {
    for (auto it = children_.begin(); it != children_.end(); ++it) {
        int status = 0;
        pid_t got;
        do {
            got = waitpid(it->pid, &status, WNOHANG);
        } while (got < 0 && errno == EINTR);
        if (got == 0) {
            continue;  // still running
        }
        const Child child = *it;
        children_.erase(it);
        if (got < 0 || (!WIFEXITED(status) && !WIFSIGNALED(status))) {
            return std::nullopt;  // not ours any more: nothing to tell
        }
        TabletEnd end;
        end.signalled = WIFSIGNALED(status);
        end.code = end.signalled ? WTERMSIG(status) : WEXITSTATUS(status);
        end.runMs = now - child.startedAt;
        return end;
    }
    return std::nullopt;
}

std::string DescribeEnd(const TabletEnd& end) {
    const std::string after = " after " + std::to_string(end.runMs / 1000) + " s";
    if (end.signalled) {
        return "Torvix killed by signal " + std::to_string(end.code) + after;
    }
    return "Torvix exited with code " + std::to_string(end.code) + after;
}
