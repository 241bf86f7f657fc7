// StatusSink: anything that can show one status line (the main window). Discovery and the
// gateway client report their progress through it; a sink is always optional.
#pragma once

#include "COMMON/BM_UTIL/bmstring.h"

class StatusSink {
public:
    virtual ~StatusSink() = default;

    // Shows `text` as one status line. The base discards it.
    virtual void ShowStatus(BmString text) { (void)text; }

    // Whether the sink takes lines; every sink in the program answers true.
    virtual bool IsAccepting() { return true; }
};
