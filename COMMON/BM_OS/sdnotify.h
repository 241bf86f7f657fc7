// Readiness, status and watchdog notifications to the service manager, over its documented
// datagram protocol: one "KEY=value" datagram per message to the Unix socket named by
// NOTIFY_SOCKET (a path, or "@name" for an abstract name). Written here directly rather than
// linking libsystemd, so the launcher gains no runtime dependency and the arm64 cross-build
// needs no extra sysroot library. Without NOTIFY_SOCKET nothing is ever sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The socket address of a NOTIFY_SOCKET value: "/path" or "@abstract". Nothing for an empty,
// relative, over-long or otherwise unusable value (a "vsock:" address included).
struct NotifyAddress {
    std::string bytes;  // sun_path contents; for an abstract name it starts with a NUL byte
};
std::optional<NotifyAddress> ParseNotifySocket(const char* value);

// The watchdog interval from WATCHDOG_USEC and WATCHDOG_PID: WATCHDOG_USEC a positive decimal
// count of microseconds, and WATCHDOG_PID, when set, equal to `pid` (else the watchdog is meant
// for another process). Nothing otherwise.
std::optional<uint64_t> ParseWatchdogUsec(const char* usec, const char* pidText, long pid);

// Sends the notifications of one process. Rules on ticks handed in (the program clock), so the
// pacing is tested without waiting: the watchdog is fed at half its interval, the status only
// when its text changes. Not thread-safe: one owner (the loop) calls it.
class SdNotifier {
public:
    // A notifier that sends nothing.
    SdNotifier() = default;
    // A notifier for `address` (nothing: sends nothing) with a watchdog of `watchdogUsec`
    // microseconds (0: none).
    SdNotifier(std::optional<NotifyAddress> address, uint64_t watchdogUsec);
    // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID; with `forget` removes them from the
    // environment (call before any thread starts), so a started program does not talk to the
    // service manager in the launcher's name.
    static SdNotifier FromEnvironment(bool forget);

    bool Enabled() const { return address_.has_value(); }
    // The watchdog interval in milliseconds (0: no watchdog, or nothing is sent).
    uint32_t WatchdogMs() const { return Enabled() ? watchdogMs_ : 0; }

    // Sends READY=1 (once; later calls send nothing). True when sent.
    bool Ready();
    // Sends STATUS=<line> when `line` differs from the last one sent; control characters become
    // spaces so the message stays one line. True when sent.
    bool Status(const std::string& line);
    // Sends WATCHDOG=1 when half the interval has passed at tick `now` since the last feed
    // (or none was sent yet). True when sent.
    bool FeedWatchdog(uint32_t now);
    // Milliseconds from `now` until FeedWatchdog sends again; 0xFFFFFFFF without a watchdog.
    uint32_t MsUntilFeed(uint32_t now) const;
    // Sends one raw message; false when disabled or the send failed. Never blocks.
    bool Send(const std::string& message) const;

private:
    std::optional<NotifyAddress> address_;
    uint32_t watchdogMs_ = 0;
    uint32_t lastFeed_ = 0;
    bool fed_ = false;
    bool ready_ = false;
    std::optional<std::string> lastStatus_;
};
