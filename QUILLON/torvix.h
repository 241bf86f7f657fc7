// The tablet application's operations: is it running, where is it, which version is installed,
// which one the gateway expects, replace it by the gateway's copy, start it.
#pragma once

#include <cstdint>
#include <string>

#include "COMMON/BM_UTIL/bmstring.h"

class StatusSink;

constexpr uint32_t kTorvixMutexWaitMs = 100;
constexpr int32_t kDownloadRequestConstant = 706;
constexpr uint32_t kLaunchPauseMs = 5000;
// Suffix of the file a download is written to before it replaces the executable.
constexpr const char* kDownloadSuffix = ".download";

// True while another process holds "TorvixMutex", and when the mutex cannot be made at all --
// except when the runtime folder is unusable: then false, said once on stderr. Blocks up to
// 100 ms.
bool IsTorvixRunning();

// "\TORVIX.EXE", or "\ZVIEWER.EXE" while devMode is on (a device path).
BmString TorvixPath();

// The installed executable's file version as "%d.%d.%d.%d". False, `text` unchanged, when the
// file is missing or carries no version (a null `text` is reported and false).
bool GetLocalVersion(BmString* text);

// The version the gateway expects (MSG_VERSION_REQUEST: screen class, client type, devMode).
// False, `text` unchanged, when not connected, on no reply within the query time-out, or a reply
// without a text. Blocks up to the query time-out.
bool GetGatewayVersion(BmString* text);

// Fetches the gateway's executable (MSG_DOWNLOAD_REQUEST: screen class, client type, 706,
// devMode) into a temporary file beside TorvixPath and renames it over the executable once it
// is complete; on failure the old executable stays and the temporary file is removed. Shows the
// wait cursor meanwhile and shows "Download Sucess" or "ERROR: Could not Download new EXE" on
// `sink` (may be null). Blocks until the download ends.
bool DownloadTorvix(StatusSink* sink);

// Why the last DownloadTorvix failed, "path: strerror" where a file operation failed; "" after
// a success.
std::string LastDownloadError();

// Closes the gateway connection and starts TorvixPath with "/R" (remote) or "/NAME:<device
// name>" (no parameters without a name), kept as a child (LaunchedTablet) so that its end is
// seen; then holds the loop's checks for 5000 ms (window messages are still handled meanwhile).
// False, without the pause, when the file cannot be read or started. Never waits.
bool LaunchTorvix(bool remote);

// The pause after a successful launch (how long the loop's checks are held). QUILLON_LAUNCH_PAUSE_MS
// (0..5000) shortens it, but only when QUILLON_TEST=1 is also set, so that end-to-end tests need not wait 5 s
// per launch.
uint32_t LaunchPauseMs();

// The operations as the supervisor loop and the command menu reach them, so that tests can put
// fakes in their place.
class TabletOps {
public:
    virtual ~TabletOps() = default;
    virtual bool IsRunning() { return IsTorvixRunning(); }
    virtual bool LocalVersion(BmString* text) { return GetLocalVersion(text); }
    virtual bool GatewayVersion(BmString* text) { return GetGatewayVersion(text); }
    virtual bool Download(StatusSink* sink) { return DownloadTorvix(sink); }
    virtual std::string DownloadError() { return LastDownloadError(); }
    virtual bool Launch(bool remote) { return LaunchTorvix(remote); }
};

// The operations in force (the real ones unless a test installed others).
TabletOps& Tablet();
// Installs `ops` (not owned); nullptr restores the real operations.
void SetTabletOps(TabletOps* ops);
