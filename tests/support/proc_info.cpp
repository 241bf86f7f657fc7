#include "tests/support/proc_info.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>

#include "tests/support/files.h"

namespace {
std::string ProcFile(pid_t pid, const char* name) {
    return "/proc/" + std::to_string(pid) + "/" + name;
}

// The fields of /proc/<pid>/stat after the command name: state(3), ppid, ...
std::string StatAfterName(pid_t pid) {
    const std::string stat = ReadFile(ProcFile(pid, "stat"));
    const size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 > stat.size() ? std::string() : stat.substr(close + 2);
}

// Calls `visit` with every process id in /proc.
void ForEachPid(const std::function<void(pid_t)>& visit) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return;
    }
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid > 0 && *end == '\0') {
            visit(static_cast<pid_t>(pid));
        }
    }
    closedir(proc);
}
}  // namespace

long ProcStatusField(pid_t pid, const std::string& field) {
    std::istringstream in(ReadFile(ProcFile(pid, "status")));
    const std::string prefix = field + ":";
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::atol(line.c_str() + prefix.size());
        }
    }
    return -1;
}

ProcUsage UsageOf(pid_t pid) {
    ProcUsage usage;
    // After the name: state(3) ... utime(14) stime(15).
    std::istringstream fields(StatAfterName(pid));
    std::string skip;
    for (int i = 3; i < 14; ++i) {
        fields >> skip;
    }
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    fields >> utime >> stime;
    const long voluntary = ProcStatusField(pid, "voluntary_ctxt_switches");
    const long involuntary = ProcStatusField(pid, "nonvoluntary_ctxt_switches");
    if (!fields || voluntary < 0 || involuntary < 0) {
        return usage;
    }
    usage.ok = true;
    usage.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    usage.switches = voluntary + involuntary;
    return usage;
}

std::string ExecutableOf(pid_t pid) {
    char buffer[4096];
    const std::string link = ProcFile(pid, "exe");
    const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::vector<std::string> CommandLineOf(pid_t pid) {
    std::vector<std::string> out;
    std::string current;
    for (char c : ReadFile(ProcFile(pid, "cmdline"))) {
        if (c == '\0') {
            out.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    return out;
}

std::vector<pid_t> ProcessesUnder(const std::string& folder) {
    std::vector<pid_t> pids;
    if (folder.empty()) {
        return pids;
    }
    ForEachPid([&](pid_t pid) {
        if (ExecutableOf(pid).compare(0, folder.size() + 1, folder + "/") == 0) {
            pids.push_back(pid);
        }
    });
    return pids;
}

int OpenFdCount(pid_t pid) {
    DIR* dir = opendir(ProcFile(pid, "fd").c_str());
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* entry = readdir(dir)) {
        n += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);
    return n;
}

std::vector<pid_t> ZombieChildren(pid_t pid) {
    std::vector<pid_t> zombies;
    ForEachPid([&](pid_t child) {
        char state = '?';
        long parent = -1;
        if (std::sscanf(StatAfterName(child).c_str(), "%c %ld", &state, &parent) == 2 && parent == pid &&
            state == 'Z') {
            zombies.push_back(child);
        }
    });
    return zombies;
}

char ProcessState(pid_t pid) {
    const std::string rest = StatAfterName(pid);
    return rest.empty() ? '?' : rest[0];
}
