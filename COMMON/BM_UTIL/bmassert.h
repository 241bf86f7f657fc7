// The program-wide assertion reporter. It never stops the program: it composes
// "<file>(line <n>: <build>)" and sends it to the gateway as MSG_EVENT_REPORT once the
// program-wide gateway client exists; before that (and after teardown) the report is dropped.
#pragma once

#include <cstdint>

class BmString;

extern const char16_t kBuildString[];  // u"6.9 Build 114.0 Rel"

// Reports a broken expectation in `file` at `line`. With `send` false it has no effect.
// A report raised while another report is being sent is dropped, never recursed.
void ReportAssertion(const char* file, int32_t line, bool send);

// Observation for tests: called with every composed report text (after the file-name rule),
// whether or not a gateway client exists. nullptr removes the observer.
using AssertionObserver = void (*)(const BmString& text);
void SetAssertionObserver(AssertionObserver observer);

#define BM_ASSERT_REPORT() ReportAssertion(__FILE__, __LINE__, true)
#define BM_ASSERT(cond)         \
    do {                        \
        if (!(cond)) {          \
            BM_ASSERT_REPORT(); \
        }                       \
    } while (0)
