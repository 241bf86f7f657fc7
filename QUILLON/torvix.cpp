#include "QUILLON/torvix.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "COMMON/BM_COMM/BMQuery.h"
#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/downloader.h"
#include "COMMON/BM_COMM/statussink.h"
#include "COMMON/BM_OS/devicepath.h"
#include "COMMON/BM_OS/fileversion.h"
#include "COMMON/BM_OS/programstart.h"
#include "COMMON/BM_OS/runtimedir.h"
#include "COMMON/BM_UI/winapi.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/downloadprogress.h"
#include "QUILLON/installer.h"
#include "QUILLON/programnames.h"
#include "QUILLON/screenclass.h"
#include "QUILLON/tablethost.h"
#include "QUILLON/testoverrides.h"

namespace {
constexpr char16_t kTorvixExe[] = u"\\TORVIX.EXE";
constexpr char16_t kViewerExe[] = u"\\ZVIEWER.EXE";
constexpr char16_t kDownloadOk[] = u"Download Sucess";
constexpr char16_t kDownloadFailed[] = u"ERROR: Could not Download new EXE";
constexpr char kRemoteParameter[] = "/R";
constexpr char kNameParameter[] = "/NAME:";
constexpr char kNoGateway[] = "no gateway connection";

// The host path of a device path held in a BmString.
std::string HostPath(BmString devicePath) {
    return DeviceFilePath(devicePath.NarrowText());
}

bool IsReadableFile(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    return true;
}
}  // namespace

BmString TorvixPath(bool devMode) {
    return BmString(devMode ? kViewerExe : kTorvixExe);
}

uint32_t LaunchPauseMs() {
    return TestOverrideMs("QUILLON_LAUNCH_PAUSE_MS", kLaunchPauseMs, kLaunchPauseMs);
}

bool DeviceTablet::RuntimeFolderLost() {
    const bool lost = RuntimeDir().empty();
    if (lost && !folderReported_) {
        std::fprintf(stderr, "quillon: runtime folder unusable (%s); the application counts as not running\n",
                     RuntimeDirProblem().c_str());
    }
    folderReported_ = lost;
    return lost;
}

bool DeviceTablet::IsRunning() {
    // The folder is looked at on every check, the lock file only opened once.
    if (RuntimeFolderLost()) {
        return false;
    }
    if (!mutex_.IsOpen() && !mutex_.Create(kTorvixMutexName)) {
        // Without a usable runtime folder no application can hold the mutex either: counting it
        // as running would hide the launcher for good.
        return !RuntimeFolderLost();
    }
    const WaitResult result = mutex_.Wait(kTorvixMutexWaitMs);
    mutex_.Release();
    return result != WaitResult::Signalled;
}

bool DeviceTablet::LocalVersion(BmString* text) {
    if (text == nullptr) {
        BM_ASSERT_REPORT();
        return false;
    }
    uint16_t parts[4] = {0, 0, 0, 0};
    if (!ReadFileVersion(HostPath(TorvixPath(host_.DevMode())), parts)) {
        return false;
    }
    BmString formatted;
    formatted.Format(u"%d.%d.%d.%d", static_cast<int>(parts[0]), static_cast<int>(parts[1]),
                     static_cast<int>(parts[2]), static_cast<int>(parts[3]));
    text->Assign(formatted);
    return true;
}

bool DeviceTablet::GatewayVersion(BmString* text) {
    BmServer* client = host_.GatewayClient();
    if (text == nullptr || client == nullptr || !client->IsConnected()) {
        return false;
    }
    BmMsg request(REQUEST_ID_NONE, MSG_VERSION_REQUEST);
    request.AppendInt32(CurrentScreenClass());
    request.AppendInt32(client->ClientType());
    request.AppendInt32(host_.DevMode() ? 1 : 0);
    BmQuery query(*client);
    BmMsg* reply = nullptr;
    if (!query.Run(&reply, &request) || reply == nullptr) {
        return false;
    }
    BmString answer;
    if (!reply->ReadString(answer)) {
        return false;
    }
    text->Assign(answer);
    return true;
}

// Fetches into `destination`, showing progress on the host's view; a failure's cause is kept.
bool DeviceTablet::FetchInto(BmServer& client, const BmString& destination) {
    WindowDownloadProgress progress(host_.View());
    Downloader downloader(client, &progress, destination);
    BmMsg request(downloader.ListenerId(), MSG_DOWNLOAD_REQUEST);
    request.AppendInt32(CurrentScreenClass());
    request.AppendInt32(client.ClientType());
    request.AppendInt32(kDownloadRequestConstant);
    request.AppendInt32(host_.DevMode() ? 1 : 0);
    const bool ok = downloader.Run(&request);
    failureCause_ = downloader.Error();
    return ok;
}

bool DeviceTablet::Download(StatusSink* sink) {
    failureCause_ = kNoGateway;
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    const BmString finalPath = TorvixPath(host_.DevMode());
    BmString partPath(finalPath);
    partPath.AppendNarrow(kDownloadSuffix);
    const std::string hostFinal = HostPath(finalPath);
    const std::string hostPart = HostPath(partPath);

    BmServer* client = host_.GatewayClient();
    bool ok = client != nullptr && FetchInto(*client, partPath);
    ok = ok && InstallDownloadedFile(hostPart, hostFinal, &failureCause_);
    if (ok) {
        failureCause_.clear();
    } else {
        unlink(hostPart.c_str());
    }
    SetCursor(previous);
    if (sink != nullptr) {
        sink->ShowStatus(BmString(ok ? kDownloadOk : kDownloadFailed));
    }
    if (!ok) {
        std::fprintf(stderr, "Download failed: %s\n", failureCause_.c_str());
    }
    return ok;
}

bool DeviceTablet::Launch(bool remote) {
    BmServer* client = host_.GatewayClient();
    if (client != nullptr) {
        client->Connection().Disconnect();
    }
    const std::string path = HostPath(TorvixPath(host_.DevMode()));
    if (!IsReadableFile(path)) {
        return false;
    }
    std::string parameters;
    if (remote) {
        parameters = kRemoteParameter;
    } else if (client != nullptr && client->GetName()[0] != '\0') {
        parameters = std::string(kNameParameter) + client->GetName();
    }
    const pid_t pid = StartChildProgram(path, parameters.c_str());
    if (pid < 0) {
        return false;
    }
    host_.TabletStarted(pid);
    return true;
}
