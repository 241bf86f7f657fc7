// What `quillon --status` tells: the launcher's facts at one moment, and their two written forms
// (for a person, and one JSON object for scripts). Texts are UTF-8; an empty text or an absent
// time is a fact not known or not present, and is left out (the keys scripts rely on are always
// there, null when unknown).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct StatusSnapshot {
    long launcherPid = 0;
    bool connected = false;
    std::string gatewayName;                // the gateway connected to, else the last one
    std::string gatewayAddress;             // dotted IPv4
    std::optional<int64_t> connectedSince;  // wall-clock seconds since the epoch
    std::string deviceName;                 // empty: the first gateway that answers
    std::string installedVersion;
    std::string gatewayVersion;
    bool appRunning = false;
    bool appStarting = false;    // just started, not yet holding its mutex
    std::optional<long> appPid;  // when the launcher started it
    std::optional<int64_t> appSince;
    std::string appLastEnd;  // e.g. "Torvix exited with code 1 after 2 s"
    std::optional<int64_t> appLastEndAt;
    bool monitorMode = true;
    bool devMode = false;
    std::string pause;  // what waits, and why: "start: Torvix ended after 2 s, 3 times"
    std::optional<int64_t> pauseUntil;
    std::string activity;  // what blocks the loop now: "downloading TORVIX.EXE: 40 %"
    std::optional<int64_t> lastDownloadAt;
    std::string lastDownloadResult;  // "installed" or "failed"
    std::string lastDownloadCause;
    std::string signaturePolicy;
    std::string rollbackState;
};

// The one-line summary for the service manager's STATUS: the gateway, then the application
// (or what keeps it from running), e.g. "Connected to KITCHEN (192.168.1.5); Torvix 2.0.0.7
// running since 10:32" (local time). Changes only when one of those facts changes.
std::string StatusSummary(const StatusSnapshot& snapshot);

// The person-readable form: one "Label:  value" line each, local time, ending in a line feed.
std::string StatusText(const StatusSnapshot& snapshot);

// One JSON object on one line (ending in a line feed), snake_case keys, times as UTC
// "YYYY-MM-DDTHH:MM:SSZ"; always present: launcher_pid, connected, gateway_name, gateway_address,
// device_name, installed_version, gateway_version, app_running, monitor_mode, dev_mode.
std::string StatusJson(const StatusSnapshot& snapshot);

// `text` as a JSON string literal: quotes, backslash and control characters escaped, invalid
// UTF-8 replaced by U+FFFD, so that any input gives a valid document.
std::string JsonQuoted(const std::string& text);
