// Test helper: looks into running processes through /proc (status fields, CPU time, executable,
// arguments, descriptors, zombie children).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A "Name:  value kB"-style number from /proc/<pid>/status ("VmRSS", "VmHWM", ...), or -1.
long ProcStatusField(pid_t pid, const std::string& field);

// What a process has used so far: CPU (user + system) and context switches.
struct ProcUsage {
    bool ok = false;
    double cpuSeconds = 0;
    long switches = 0;  // voluntary + involuntary: each one a wake-up or a preemption
};
ProcUsage UsageOf(pid_t pid);

// The process's executable ("" when it is gone) and its arguments.
std::string ExecutableOf(pid_t pid);
std::vector<std::string> CommandLineOf(pid_t pid);
// Processes whose executable lies under `folder`.
std::vector<pid_t> ProcessesUnder(const std::string& folder);
// Open descriptors of `pid`, or -1.
int OpenFdCount(pid_t pid);
// Children of `pid` that are zombies (ended, not reaped).
std::vector<pid_t> ZombieChildren(pid_t pid);
// The "State:" letter of `pid` ('?' when it is gone).
char ProcessState(pid_t pid);
