#include "COMMON/BM_COMM/eventreport.h"

// Placeholder until the gateway client exists: reports are composed and dropped.
bool SendEventReport(const BmString&) { return false; }
