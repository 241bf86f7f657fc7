#include "QUILLON/statussnapshot.h"

#include <ctime>
#include <vector>

namespace {
constexpr int kLabelWidth = 19;

std::string TimeText(int64_t seconds, bool utc) {
    const auto when = static_cast<time_t>(seconds);
    tm parts{};
    if ((utc ? gmtime_r(&when, &parts) : localtime_r(&when, &parts)) == nullptr) {
        return "?";
    }
    char text[32];
    const size_t n =
        std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M:%S", &parts);
    return n == 0 ? "?" : std::string(text, n);
}

std::string LocalTime(const std::optional<int64_t>& seconds) {
    return seconds ? TimeText(*seconds, false) : std::string();
}

// "HH:MM" of a local time.
std::string ClockText(int64_t seconds) {
    const std::string full = TimeText(seconds, false);
    return full.size() >= 16 ? full.substr(11, 5) : full;
}

std::string OnOff(bool on) {
    return on ? "on" : "off";
}

// "a, b, c" of the non-empty parts.
std::string Joined(const std::vector<std::string>& parts, const char* separator = ", ") {
    std::string out;
    for (const std::string& part : parts) {
        if (part.empty()) {
            continue;
        }
        if (!out.empty()) {
            out += separator;
        }
        out += part;
    }
    return out;
}

void Row(std::string& out, const char* label, const std::string& value) {
    if (value.empty()) {
        return;
    }
    std::string head = std::string(label) + ":";
    head.resize(kLabelWidth, ' ');
    out += head + value + "\n";
}

std::string GatewayText(const StatusSnapshot& s) {
    std::string who = s.gatewayName.empty() ? std::string("(no name)") : s.gatewayName;
    if (!s.gatewayAddress.empty()) {
        who += " (" + s.gatewayAddress + ")";
    }
    if (s.connected) {
        return Joined({who, s.connectedSince ? "connected since " + LocalTime(s.connectedSince) : ""});
    }
    const bool known = !s.gatewayName.empty() || !s.gatewayAddress.empty();
    // The link is let go on purpose while the application runs.
    const std::string state =
        s.appRunning || s.appStarting ? "not connected while the application runs" : "not connected";
    return known ? state + " (last: " + who + ")" : state;
}

std::string ApplicationText(const StatusSnapshot& s) {
    if (!s.appRunning) {
        return s.appStarting ? Joined({"starting", s.appPid ? "pid " + std::to_string(*s.appPid) : ""})
                             : "not running";
    }
    return Joined({"running", s.appPid ? "pid " + std::to_string(*s.appPid) : "",
                   s.appSince ? "since " + LocalTime(s.appSince) : ""});
}

class JsonObject {
public:
    void Raw(const char* key, const std::string& value) {
        out_ += out_.empty() ? "{" : ",";
        out_ += JsonQuoted(key) + ":" + value;
    }
    void Bool(const char* key, bool value) { Raw(key, value ? "true" : "false"); }
    // A required text: null when empty.
    void Text(const char* key, const std::string& value) {
        Raw(key, value.empty() ? "null" : JsonQuoted(value));
    }
    // An optional text: left out when empty.
    void MaybeText(const char* key, const std::string& value) {
        if (!value.empty()) {
            Raw(key, JsonQuoted(value));
        }
    }
    void MaybeTime(const char* key, const std::optional<int64_t>& seconds) {
        if (seconds) {
            Raw(key, JsonQuoted(TimeText(*seconds, true)));
        }
    }
    std::string Done() { return (out_.empty() ? "{" : out_) + "}\n"; }

private:
    std::string out_;
};

// The length of the valid UTF-8 sequence at `text[i]`, or 0 when it is not one (overlong forms,
// surrogates and values above U+10FFFF are not valid).
size_t Utf8SequenceAt(const std::string& text, size_t i) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (byte(i + k) & 0x3Fu);
    }
    const bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
    const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
    return overlong || surrogate || value > 0x10FFFF ? 0 : length;
}
}  // namespace

std::string JsonQuoted(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const size_t length = Utf8SequenceAt(text, i); length > 0) {
            out.append(text, i, length);
            i += length;
            continue;
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD for each byte that starts no valid sequence
        }
        ++i;
    }
    return out + "\"";
}

std::string StatusSummary(const StatusSnapshot& s) {
    std::string gateway;
    if ((s.appRunning || s.appStarting) && !s.connected) {
        // The link is let go while the application runs: name the gateway it came from, after it.
    } else if (s.connected) {
        gateway = "Connected to " + (s.gatewayName.empty() ? std::string("gateway") : s.gatewayName);
        if (!s.gatewayAddress.empty()) {
            gateway += " (" + s.gatewayAddress + ")";
        }
    } else {
        gateway = s.gatewayName.empty() ? "Looking for the gateway" : "Lost gateway " + s.gatewayName;
    }
    const std::string torvix = s.installedVersion.empty() ? "Torvix" : "Torvix " + s.installedVersion;
    std::string app;
    if (s.appRunning || s.appStarting) {
        app = torvix + (s.appRunning ? " running" + (s.appSince ? " since " + ClockText(*s.appSince) : "")
                                     : std::string(" starting"));
        if (!s.connected && !s.gatewayName.empty()) {
            app += " (gateway " + Joined({s.gatewayName, s.gatewayAddress}) + ")";
        }
    } else if (!s.activity.empty()) {
        app = s.activity;
    } else if (!s.pause.empty()) {
        app = "paused (" + s.pause + ")" + (s.pauseUntil ? " until " + ClockText(*s.pauseUntil) : "");
    } else {
        app = torvix + " not running";
    }
    return Joined({gateway, app, s.monitorMode ? "" : "monitor mode off"}, "; ");
}

std::string StatusText(const StatusSnapshot& s) {
    std::string out;
    Row(out, "Gateway", GatewayText(s));
    Row(out, "Device name", s.deviceName.empty() ? "(none: the first gateway that answers)" : s.deviceName);
    Row(out, "Installed version", s.installedVersion.empty() ? "unknown" : s.installedVersion);
    Row(out, "Gateway version", s.gatewayVersion.empty() ? "unknown" : s.gatewayVersion);
    Row(out, "Application", ApplicationText(s));
    Row(out, "Last end",
        Joined({s.appLastEnd,
                s.appLastEndAt && !s.appLastEnd.empty() ? "at " + LocalTime(s.appLastEndAt) : ""}));
    Row(out, "Monitor mode", OnOff(s.monitorMode));
    Row(out, "Dev mode", OnOff(s.devMode));
    Row(out, "Pause",
        Joined({s.pause, s.pauseUntil && !s.pause.empty() ? "until " + LocalTime(s.pauseUntil) : ""}));
    Row(out, "Now", s.activity);
    if (s.lastDownloadAt || !s.lastDownloadResult.empty()) {
        Row(out, "Last download",
            Joined({LocalTime(s.lastDownloadAt), Joined({s.lastDownloadResult, s.lastDownloadCause}, ": ")}));
    }
    Row(out, "Signature policy", s.signaturePolicy);
    Row(out, "Rollback", s.rollbackState);
    Row(out, "Launcher", s.launcherPid > 0 ? "pid " + std::to_string(s.launcherPid) : "");
    return out;
}

std::string StatusJson(const StatusSnapshot& s) {
    JsonObject json;
    json.Raw("launcher_pid", std::to_string(s.launcherPid));
    json.Bool("connected", s.connected);
    json.Text("gateway_name", s.gatewayName);
    json.Text("gateway_address", s.gatewayAddress);
    json.MaybeTime("connected_since", s.connectedSince);
    json.Text("device_name", s.deviceName);
    json.Text("installed_version", s.installedVersion);
    json.Text("gateway_version", s.gatewayVersion);
    json.Bool("app_running", s.appRunning);
    if (s.appStarting) {
        json.Bool("app_starting", true);
    }
    if (s.appPid) {
        json.Raw("app_pid", std::to_string(*s.appPid));
    }
    json.MaybeTime("app_since", s.appSince);
    json.MaybeText("app_last_end", s.appLastEnd);
    json.MaybeTime("app_last_end_at", s.appLastEndAt);
    json.Bool("monitor_mode", s.monitorMode);
    json.Bool("dev_mode", s.devMode);
    json.MaybeText("pause", s.pause);
    json.MaybeTime("pause_until", s.pauseUntil);
    json.MaybeText("activity", s.activity);
    json.MaybeTime("last_download_at", s.lastDownloadAt);
    json.MaybeText("last_download_result", s.lastDownloadResult);
    json.MaybeText("last_download_cause", s.lastDownloadCause);
    json.MaybeText("signature_policy", s.signaturePolicy);
    json.MaybeText("rollback_state", s.rollbackState);
    return json.Done();
}
