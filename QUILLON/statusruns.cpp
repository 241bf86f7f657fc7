#include "QUILLON/statusruns.h"

void StatusRuns::Add(const BmString& line) {
    if (!rows_.empty()) {
        BmString last(rows_.back().text);  // Equals converts its object: compare on a copy
        if (last.Equals(line) && rows_.back().count < UINT32_MAX) {
            ++rows_.back().count;
            return;
        }
    }
    rows_.push_back(Row{line, 1});
    while (rows_.size() > maxRows_) {
        rows_.pop_front();
    }
}

BmString StatusRuns::CountSuffix(uint32_t count) {
    BmString suffix;
    if (count > 1) {
        suffix.Format(u"  \u00D7%u", count);
    }
    return suffix;
}
