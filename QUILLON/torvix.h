// DeviceTablet: the tablet application's real operations. Is it running, where is it, which
// version is installed, which one the gateway expects, replace it by the gateway's copy, start it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "COMMON/BM_OS/namedmutex.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "QUILLON/tabletops.h"

class PayloadHasher;

class BmServer;
class TabletHost;

constexpr uint32_t kTorvixMutexWaitMs = 100;
constexpr int32_t kDownloadRequestConstant = 706;
constexpr uint32_t kLaunchPauseMs = 5000;
// Suffix of the file a download is written to before it replaces the executable.
constexpr const char* kDownloadSuffix = ".download";

// "\TORVIX.EXE", or "\ZVIEWER.EXE" in the viewer variant (a device path).
BmString TorvixPath(bool devMode);

// The pause after a successful launch (how long the loop's checks are held). QUILLON_LAUNCH_PAUSE_MS
// (0..5000) shortens it, but only when QUILLON_TEST=1 is also set, so that end-to-end tests need not wait 5 s
// per launch.
uint32_t LaunchPauseMs();

class DeviceTablet final : public TabletOps {
public:
    // `host` (the launcher core) outlives this object.
    explicit DeviceTablet(TabletHost& host) : host_(host) {}

    // True while another process holds "TorvixMutex", and when the mutex cannot be made at all --
    // except when the runtime folder is unusable: then false, said once on stderr. Blocks up to
    // 100 ms.
    bool IsRunning() override;
    // The installed executable's file version as "%d.%d.%d.%d". False, `text` unchanged, when the
    // file is missing or carries no version, or with checking on when its signature does not
    // verify (it then counts as missing; said once per cause on stderr). A null `text` is
    // reported and false.
    bool LocalVersion(BmString* text) override;
    // The version the gateway expects (MSG_VERSION_REQUEST: screen class, client type, devMode).
    // False, `text` unchanged, when not connected, on no reply within the query time-out, or a
    // reply without a text. Blocks up to the query time-out.
    bool GatewayVersion(BmString* text) override;
    // Fetches the gateway's executable (MSG_DOWNLOAD_REQUEST: screen class, client type, 706,
    // devMode) into a part file beside TorvixPath and installs it once it is complete
    // (InstallDownloadedFile); on failure the old executable stays and the part file is removed.
    // Shows the wait cursor meanwhile and "Download Sucess" or "ERROR: Could not Download new EXE"
    // on `sink` (may be null); on failure the cause follows on standard error as "Download
    // failed: <cause>". A file of zero bytes is a failed download; with checking on, so is one
    // whose signature does not verify, and then the gateway gets an event report "Update to
    // <version> refused: no valid signature: <why>". Blocks until the download ends.
    bool Download(StatusSink* sink) override;
    // Why the last Download failed ("<path>: <reason>", "gateway closed the link", "no reply
    // within 15 s", "zero-byte file", ...); "" after a success.
    std::string DownloadError() override { return failureCause_; }
    // Closes the gateway connection and starts TorvixPath with "/R" (remote) or "/NAME:<device
    // name>" (no parameters without a name), told to the host (TabletStarted) so that its end is
    // seen and the checks pause. With checking on the file is verified on the descriptor that is
    // then executed; one that fails is not started ("TORVIX.EXE not started (no valid signature:
    // ...)" on the view). False when the file cannot be read, verified or started. Blocks only
    // while the file is checked.
    bool Launch(bool remote) override;

private:
    // Fetches into `destination`, feeding `hasher` (may be null) the bytes as they are written.
    bool FetchInto(BmServer& client, const BmString& destination, PayloadHasher* hasher);
    // The installed file passes the trust in force (always, with checking off).
    bool InstalledFileTrusted(const std::string& path);
    // Starts `path` as the application: checked and started on one descriptor with checking on.
    pid_t Start(const std::string& path, const std::string& parameters);
    bool RuntimeFolderLost();

    TabletHost& host_;
    std::string failureCause_;
    NamedMutex mutex_;             // opened once: opening it for every check would wake the loop
    bool folderReported_ = false;  // the unusable runtime folder was said on stderr
    std::string untrustedCause_;   // why the installed file last failed its check ("" : it passed)
};
