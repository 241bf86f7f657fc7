#include "COMMON/BM_OS/sdnotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
constexpr uint32_t kNever = 0xFFFFFFFFu;
// The longest interval kept in milliseconds; longer ones are fed as often as this one.
constexpr uint64_t kMaxWatchdogMs = 0x7FFFFFFFu;
// A status line longer than this is cut: the manager shows one line, not a report.
constexpr size_t kMaxStatusBytes = 400;

// A strict unsigned decimal (no sign, no spaces, no overflow).
std::optional<uint64_t> ParseDecimal(const char* text) {
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return std::nullopt;
        }
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}
}  // namespace

std::optional<NotifyAddress> ParseNotifySocket(const char* value) {
    if (value == nullptr || (value[0] != '/' && value[0] != '@')) {
        return std::nullopt;
    }
    NotifyAddress address{value};
    // An abstract name has no terminator in sun_path; a path needs room for one.
    const size_t room = sizeof(sockaddr_un::sun_path) - (value[0] == '/' ? 1 : 0);
    if (address.bytes.size() < 2 || address.bytes.size() > room) {
        return std::nullopt;
    }
    if (address.bytes[0] == '@') {
        address.bytes[0] = '\0';
    }
    return address;
}

std::optional<uint64_t> ParseWatchdogUsec(const char* usec, const char* pidText, long pid) {
    const std::optional<uint64_t> interval = ParseDecimal(usec);
    if (!interval || *interval == 0) {
        return std::nullopt;
    }
    if (pidText != nullptr) {
        const std::optional<uint64_t> owner = ParseDecimal(pidText);
        if (!owner || pid < 0 || *owner != static_cast<uint64_t>(pid)) {
            return std::nullopt;
        }
    }
    return interval;
}

SdNotifier::SdNotifier(std::optional<NotifyAddress> address, uint64_t watchdogUsec)
    : address_(std::move(address)) {
    if (watchdogUsec > 0) {
        const uint64_t ms = watchdogUsec / 1000;
        watchdogMs_ = static_cast<uint32_t>(ms < 2 ? 2 : (ms > kMaxWatchdogMs ? kMaxWatchdogMs : ms));
    }
}

SdNotifier SdNotifier::FromEnvironment(bool forget) {
    std::optional<NotifyAddress> address = ParseNotifySocket(std::getenv("NOTIFY_SOCKET"));
    const std::optional<uint64_t> usec = ParseWatchdogUsec(
        std::getenv("WATCHDOG_USEC"), std::getenv("WATCHDOG_PID"), static_cast<long>(getpid()));
    if (forget) {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
    }
    return SdNotifier(std::move(address), usec.value_or(0));
}

bool SdNotifier::Ready() {
    if (ready_ || !Send("READY=1")) {
        return false;
    }
    ready_ = true;
    return true;
}

bool SdNotifier::Status(const std::string& line) {
    std::string clean = line.substr(0, kMaxStatusBytes);
    for (char& c : clean) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    if (!Enabled() || (lastStatus_ && *lastStatus_ == clean)) {
        return false;
    }
    if (!Send("STATUS=" + clean)) {
        return false;
    }
    lastStatus_ = std::move(clean);
    return true;
}

bool SdNotifier::FeedWatchdog(uint32_t now) {
    if (WatchdogMs() == 0 || MsUntilFeed(now) > 0) {
        return false;
    }
    // The time counts from this attempt even when the send fails: a manager that is gone is not
    // asked again on every pass.
    lastFeed_ = now;
    fed_ = true;
    return Send("WATCHDOG=1");
}

uint32_t SdNotifier::MsUntilFeed(uint32_t now) const {
    if (WatchdogMs() == 0) {
        return kNever;
    }
    if (!fed_) {
        return 0;
    }
    const uint32_t every = watchdogMs_ / 2;
    const uint32_t spent = now - lastFeed_;  // modular: the tick counter wraps
    return spent >= every ? 0 : every - spent;
}

bool SdNotifier::Send(const std::string& message) const {
    if (!address_) {
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::memcpy(to.sun_path, address_->bytes.data(), address_->bytes.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_->bytes.size() +
                                               (address_->bytes[0] == '\0' ? 0 : 1));
    ssize_t sent = -1;
    do {
        sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
                        length);
    } while (sent < 0 && errno == EINTR);
    ::close(fd);
    return sent == static_cast<ssize_t>(message.size());
}
