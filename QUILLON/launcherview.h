// LauncherView: what the launcher core asks of whatever shows it (the main window, or a test's
// recorder): status lines, the information panel, showing and hiding, the download bar, the end.
#pragma once

#include <cstdint>

#include "COMMON/BM_COMM/statussink.h"

class LauncherView : public StatusSink {
public:
    // Shows (true) or hides the launcher's window.
    virtual void ShowLauncher(bool shown) = 0;
    // Rebuilds the information panel from the core's state.
    virtual void RebuildInfoPanel() = 0;
    // A bar of `received` / `total` bytes (total 0: no bar), shown at once.
    virtual void ShowDownloadProgress(int32_t received, int32_t total) = 0;
    // Asks for the launcher's end (the loop ends once it is carried out); false when it could
    // not be asked for.
    virtual bool RequestExit() = 0;
};
