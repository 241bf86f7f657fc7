// Standard-error copy of the status log: the only way to read the log without a display.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "COMMON/BM_UTIL/bmstring.h"

// The stderr form of one status line: one trailing line feed (discovery lines carry one) is
// dropped, code units 1..255 become the byte of that value (the program's 8-bit mapping),
// larger ones UTF-8, and any other control byte '?', so that one status line is one output line.
std::string StatusEchoText(const BmString& line);

// Collapses runs of equal lines: a line equal to the one before it is counted, not written; the
// count is written as "<line> (repeated N times)" when a different line comes, or by Tick once
// kSummaryMs have passed since the first line it holds. The window keeps every line; this only
// keeps a gateway that never answers from writing 16 lines a second to the journal.
class RepeatCollapser {
public:
    static constexpr uint32_t kSummaryMs = 60000;
    using Writer = std::function<void(const std::string&)>;

    explicit RepeatCollapser(Writer writer) : writer_(std::move(writer)) {}
    // Takes one line (without its line feed) at tick `now`; writes what is due.
    void Line(const std::string& text, uint32_t now);
    // Writes the count when it has been held for kSummaryMs at tick `now`.
    void Tick(uint32_t now);

private:
    void WriteCount();

    Writer writer_;
    std::string last_;
    bool haveLast_ = false;
    uint32_t repeats_ = 0;
    uint32_t heldSince_ = 0;
};

// The journal priority of a stderr line (a "(repeated N times)" line counts as its text):
// kJournalError for failures (ERROR:, a failed download, a refused or rolled-back release),
// kJournalWarning for what recovers by itself (a pause before the next try or start, a lost
// gateway, a failed version query, an application that crashed), kJournalInfo for the rest.
constexpr int kJournalError = 3;
constexpr int kJournalWarning = 4;
constexpr int kJournalInfo = 6;
int JournalPriority(const std::string& line);

// True when `fd` is the journal's stream named by `journalStream` (JOURNAL_STREAM's
// "<device>:<inode>", both decimal): then lines may carry the "<N>" priority prefix. False for a
// null, malformed or different value, so that anything else sees the lines unchanged.
bool IsJournalStream(const char* journalStream, int fd);

// `line` as written to a stream: with `journal`, prefixed "<N>" by JournalPriority.
std::string JournalLine(const std::string& line, bool journal);

// Writes StatusEchoText(line) and a line feed to standard error in one write, collapsing
// repeats (RepeatCollapser on the program clock). When standard error is the journal (looked
// at once), each line carries its priority prefix.
void EchoStatusLine(const BmString& line);
// Writes one line that is not a status line (a cause, a problem of the launcher's own) to
// standard error, with its journal priority prefix when that is the journal; never collapsed.
void EchoDiagnosticLine(const std::string& line);
// The same at a given journal priority (kJournalError for a problem that ends the launcher).
void EchoDiagnosticLine(const std::string& line, int priority);
// Writes a repeat count held for a minute; called from the loop so the count shows even when
// the repeating stops without another line.
void TickStatusEcho();
