#include "COMMON/BM_UTIL/bmassert.h"

#include <cstring>

#include "COMMON/BM_UTIL/bmstring.h"

extern const char16_t kBuildString[] = u"6.9 Build 114.0 Rel";

namespace {

AssertionObserver gObserver = nullptr;
AssertionHandler gHandler = nullptr;

// Set while a report is composed or delivered: the string code and the handler's send may
// report again, and such a report is dropped rather than recursed into.
bool gReporting = false;

class ReportingScope {
public:
    ReportingScope() { gReporting = true; }
    ~ReportingScope() { gReporting = false; }
    ReportingScope(const ReportingScope&) = delete;
    ReportingScope& operator=(const ReportingScope&) = delete;
};

// Keeps what follows the last "\" (the only separator); a path without one is used whole.
BmString ReportedFileName(const char* file) {
    BmString name(file);
    name.ToWide();
    const int32_t slash = name.FindLast('\\');
    if (slash < 0) {
        return name;
    }
    BmString kept;
    name.Right(kept, static_cast<int32_t>(std::strlen(file)) - slash - 1);
    return kept;
}

}  // namespace

void SetAssertionHandler(AssertionHandler handler) {
    gHandler = handler;
}

void SetAssertionObserver(AssertionObserver observer) {
    gObserver = observer;
}

void ReportAssertion(const char* file, int32_t line, bool send) {
    if (!send || gReporting) {
        return;
    }
    ReportingScope scope;
    BmString name = ReportedFileName(file ? file : "");
    BmString text;
    text.Format(u"%s(line %d: %s)", name.WideText(), static_cast<int>(line), kBuildString);
    if (gObserver) {
        gObserver(text);
    }
    if (gHandler) {
        gHandler(text);
    }
}
