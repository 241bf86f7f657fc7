// TabletOps: the tablet application's operations as the launcher core reaches them, so that
// tests can put fakes in their place (the real ones are DeviceTablet).
#pragma once

#include <string>

#include "COMMON/BM_UTIL/bmstring.h"

class StatusSink;

class TabletOps {
public:
    virtual ~TabletOps() = default;
    // True while the application runs.
    virtual bool IsRunning() = 0;
    // The installed version as "%d.%d.%d.%d"; false, `text` unchanged, when there is none.
    virtual bool LocalVersion(BmString* text) = 0;
    // The version the gateway expects; false, `text` unchanged, when it gave none.
    virtual bool GatewayVersion(BmString* text) = 0;
    // Replaces the application by the gateway's copy, with its outcome shown on `sink` (may be
    // null). Blocks until the download ends.
    virtual bool Download(StatusSink* sink) = 0;
    // Why the last Download failed; "" after a success.
    virtual std::string DownloadError() = 0;
    // Starts the application ("/R" when `remote`). False when it could not be started.
    virtual bool Launch(bool remote) = 0;
};
