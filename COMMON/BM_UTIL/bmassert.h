// The program-wide assertion reporter. It never stops the program: it composes
// "<file>(line <n>: <build>)" and hands it to the installed handler (the launcher installs one
// that sends it to the gateway as MSG_EVENT_REPORT); with no handler installed the report is
// dropped.
#pragma once

#include <cstdint>

class BmString;

extern const char16_t kBuildString[];  // u"6.9 Build 114.0 Rel"

// Reports a broken expectation in `file` at `line`. With `send` false it has no effect.
// A report raised while another report is being delivered is dropped, never recursed.
// Blocks only as long as the observer and the handler do.
void ReportAssertion(const char* file, int32_t line, bool send);

// Receives every composed report text (after the file-name rule). nullptr removes it.
using AssertionHandler = void (*)(const BmString& text);

// Installs the program's delivery of reports (one at a time; nullptr drops reports again).
void SetAssertionHandler(AssertionHandler handler);

// Observation for tests: called with every composed report text before the handler, whether
// or not a handler is installed. nullptr removes the observer.
using AssertionObserver = AssertionHandler;
void SetAssertionObserver(AssertionObserver observer);

#define BM_ASSERT_REPORT() ReportAssertion(__FILE__, __LINE__, true)
#define BM_ASSERT(cond)         \
    do {                        \
        if (!(cond)) {          \
            BM_ASSERT_REPORT(); \
        }                       \
    } while (0)
