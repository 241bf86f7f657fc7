#include "QUILLON/statusecho.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "COMMON/BM_OS/bmclock.h"

namespace {
void AppendUnit(std::string& out, uint32_t unit) {
    if (unit < 0x20 || unit == 0x7F) {
        out.push_back('?');
    } else if (unit <= 0xFF) {
        out.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
        out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
        // Surrogate halves are written one by one; a status line is for reading, not parsing.
        out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
        out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
}
}  // namespace

std::string StatusEchoText(const BmString& line) {
    std::string out;
    int32_t count = line.Length();
    const void* buffer = line.Buffer();
    if (count <= 0 || buffer == nullptr) {
        return out;
    }
    const bool wide = line.Form() == Wide;
    auto unitAt = [&](int32_t i) -> uint32_t {
        return wide ? static_cast<const char16_t*>(buffer)[i]
                    : static_cast<unsigned char>(static_cast<const char*>(buffer)[i]);
    };
    if (unitAt(count - 1) == '\n') {
        --count;
    }
    out.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        AppendUnit(out, unitAt(i));
    }
    return out;
}

void RepeatCollapser::Line(const std::string& text, uint32_t now) {
    if (haveLast_ && text == last_) {
        if (repeats_++ == 0) {
            heldSince_ = now;
        }
        Tick(now);
        return;
    }
    WriteCount();
    writer_(text);
    last_ = text;
    haveLast_ = true;
}

void RepeatCollapser::Tick(uint32_t now) {
    if (repeats_ > 0 && now - heldSince_ >= kSummaryMs) {
        WriteCount();
    }
}

void RepeatCollapser::WriteCount() {
    if (repeats_ == 0) {
        return;
    }
    writer_(last_ + " (repeated " + std::to_string(repeats_) + (repeats_ == 1 ? " time)" : " times)"));
    repeats_ = 0;
}

namespace {
struct PriorityRule {
    enum Match { kPrefix, kContains } match;
    const char* text;
    int priority;
};

// First match wins, so the specific errors come before the general warnings ("Download failed
// (...): next try in 10 s" is an error, "Version still differs ...: next try in" a warning).
constexpr PriorityRule kPriorityRules[] = {
    {PriorityRule::kPrefix, "ERROR: ", kJournalError},
    {PriorityRule::kPrefix, "Download failed", kJournalError},
    {PriorityRule::kPrefix, "Error Loading Torvix", kJournalError},
    {PriorityRule::kPrefix, "Roll back failed: ", kJournalError},
    {PriorityRule::kContains, "no valid signature", kJournalError},
    {PriorityRule::kContains, ": back to ", kJournalError},  // a release rolled back
    {PriorityRule::kContains, "refused", kJournalError},
    {PriorityRule::kContains, "rolled back", kJournalError},  // a refusal that stands
    {PriorityRule::kContains, ": no previous version to go back to", kJournalError},
    {PriorityRule::kContains, ": next try in ", kJournalWarning},
    {PriorityRule::kContains, ": next start in ", kJournalWarning},
    {PriorityRule::kPrefix, "Disconnected from gateway.", kJournalWarning},
    {PriorityRule::kPrefix, "Error Getting Version Info From Gateway", kJournalWarning},
    {PriorityRule::kPrefix, "Torvix killed by signal ", kJournalWarning},
    {PriorityRule::kPrefix, "Torvix exited with code ", kJournalWarning},  // code 0: see above
    {PriorityRule::kPrefix, "quillon: ", kJournalWarning},
};

bool Applies(const PriorityRule& rule, const std::string& line) {
    return rule.match == PriorityRule::kPrefix ? line.rfind(rule.text, 0) == 0
                                               : line.find(rule.text) != std::string::npos;
}
}  // namespace

int JournalPriority(const std::string& line) {
    // Discovery lines carry a gateway's name, which must not be able to raise its own line.
    if (line.rfind("Torvix exited with code 0 ", 0) == 0 || line.rfind("Ping From ", 0) == 0 ||
        line.rfind("Wrong System, ", 0) == 0) {
        return kJournalInfo;
    }
    for (const PriorityRule& rule : kPriorityRules) {
        if (Applies(rule, line)) {
            return rule.priority;
        }
    }
    return kJournalInfo;
}

bool IsJournalStream(const char* journalStream, int fd) {
    if (journalStream == nullptr) {
        return false;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    int used = 0;
    if (std::sscanf(journalStream, "%llu:%llu%n", &device, &inode, &used) != 2 ||
        journalStream[used] != '\0' || journalStream[0] < '0' || journalStream[0] > '9') {
        return false;
    }
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

std::string JournalLine(const std::string& line, bool journal) {
    if (!journal) {
        return line;
    }
    return "<" + std::to_string(JournalPriority(line)) + ">" + line;
}

namespace {
void WriteStderrLine(const std::string& line, int priority) {
    static const bool journal = IsJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO);
    std::string text = !journal       ? line
                       : priority < 0 ? JournalLine(line, true)
                                      : "<" + std::to_string(priority) + ">" + line;
    text.push_back('\n');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // a closed stderr must not disturb the launcher
        }
        done += static_cast<size_t>(n);
    }
}

RepeatCollapser& StderrEcho() {
    static RepeatCollapser echo([](const std::string& line) { WriteStderrLine(line, -1); });
    return echo;
}
}  // namespace

void EchoStatusLine(const BmString& line) {
    StderrEcho().Line(StatusEchoText(line), GetTickCount());
}

void EchoDiagnosticLine(const std::string& line) {
    WriteStderrLine(line, -1);
}

void EchoDiagnosticLine(const std::string& line, int priority) {
    WriteStderrLine(line, priority);
}

void TickStatusEcho() {
    StderrEcho().Tick(GetTickCount());
}
