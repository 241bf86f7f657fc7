// Benchmark helper: figures of a running process from /proc (CPU time, context switches, peak
// memory) and the processes whose executable lies under a folder. Header-only.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace benchproc {

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A "Name:  value kB"-style number from /proc/<pid>/status, or -1.
inline long StatusField(pid_t pid, const std::string& field) {
    std::istringstream in(ReadAll("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    const std::string prefix = field + ":";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::atol(line.c_str() + prefix.size());
        }
    }
    return -1;
}

// What a process has used so far: CPU (user + system) and context switches.
struct Usage {
    bool ok = false;
    double cpuSeconds = 0;
    long switches = 0;  // voluntary + involuntary: each one a wake-up or a preemption
};

inline Usage UsageOf(pid_t pid) {
    Usage usage;
    const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return usage;
    }
    // After the name: state(3) ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt
    // utime(14) stime(15).
    std::istringstream fields(stat.substr(close + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) {
        fields >> skip;
    }
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    fields >> utime >> stime;
    const long voluntary = StatusField(pid, "voluntary_ctxt_switches");
    const long involuntary = StatusField(pid, "nonvoluntary_ctxt_switches");
    if (!fields || voluntary < 0 || involuntary < 0) {
        return usage;
    }
    usage.ok = true;
    usage.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    usage.switches = voluntary + involuntary;
    return usage;
}

inline std::string ExecutableOf(pid_t pid) {
    char buffer[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Processes whose executable lies under `folder`.
inline std::vector<pid_t> ProcessesUnder(const std::string& folder) {
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return pids;
    }
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid > 0 && *end == '\0' &&
            ExecutableOf(static_cast<pid_t>(pid)).compare(0, folder.size() + 1, folder + "/") == 0) {
            pids.push_back(static_cast<pid_t>(pid));
        }
    }
    closedir(proc);
    return pids;
}

}  // namespace benchproc
