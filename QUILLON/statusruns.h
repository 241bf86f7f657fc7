// The window's log as it is drawn: a run of equal status lines takes one row with a count, so a
// gateway that never answers ("Waiting for ping response." many times a second) does not push
// the lines that said why off the screen. The stored log keeps every line as it was added; this
// is a second, display-only record kept beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "COMMON/BM_UTIL/bmstring.h"

class StatusRuns {
public:
    struct Row {
        BmString text;
        uint32_t count = 1;  // how many equal lines in a row this one stands for
    };

    explicit StatusRuns(size_t maxRows) : maxRows_(maxRows) {}

    // Takes one line: counts it on the newest row when equal to that row's text, else adds a
    // row (dropping the oldest beyond maxRows).
    void Add(const BmString& line);
    void Clear() { rows_.clear(); }
    // Oldest first.
    const std::deque<Row>& Rows() const { return rows_; }

    // What is drawn after a row's text: "" for a single line, else "  ×N".
    static BmString CountSuffix(uint32_t count);

private:
    size_t maxRows_;
    std::deque<Row> rows_;
};
