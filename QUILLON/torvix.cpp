#include "QUILLON/torvix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "COMMON/BM_COMM/BMQuery.h"
#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/downloader.h"
#include "COMMON/BM_COMM/statussink.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/devicepath.h"
#include "COMMON/BM_OS/fileversion.h"
#include "COMMON/BM_OS/namedmutex.h"
#include "COMMON/BM_OS/programstart.h"
#include "COMMON/BM_OS/runtimedir.h"
#include "COMMON/BM_UI/winapi.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/downloadprogress.h"
#include "QUILLON/mainwnd.h"
#include "QUILLON/programstate.h"
#include "QUILLON/quillon.h"
#include "QUILLON/releasekeeper.h"
#include "QUILLON/screenclass.h"
#include "QUILLON/supervisor.h"
#include "QUILLON/tabletchild.h"

namespace {
constexpr char16_t kTorvixExe[] = u"\\TORVIX.EXE";
constexpr char16_t kViewerExe[] = u"\\ZVIEWER.EXE";
constexpr char16_t kDownloadOk[] = u"Download Sucess";
constexpr char16_t kDownloadFailed[] = u"ERROR: Could not Download new EXE";
constexpr char kRemoteParameter[] = "/R";
constexpr char kNameParameter[] = "/NAME:";
constexpr char kNoGateway[] = "no gateway connection";
constexpr char kZeroBytes[] = "zero-byte file";

TabletOps gRealOps;
TabletOps* gOps = nullptr;

// The host path of a device path held in a BmString.
std::string HostPath(BmString devicePath) {
    return DeviceFilePath(devicePath.NarrowText());
}

// A download is complete only once its bytes are on the disk, so a power loss right after the
// rename cannot leave an empty executable behind.
bool SyncFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

// Why the last download failed; function-local, as other units' static initialisers may ask.
std::string& FailureCause() {
    static std::string cause;
    return cause;
}

// A write past the file-size limit must fail with EFBIG and not end the program. A handler
// rather than SIG_IGN, so that the started tablet application does not inherit it.
extern "C" void OnFileSizeExceeded(int) {}

void CatchFileSizeSignal() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnFileSizeExceeded;
    action.sa_flags = SA_RESTART;
    sigaction(SIGXFSZ, &action, nullptr);
}

// Fetches into `destination`, showing progress on the live window; a failure's cause goes to
// FailureCause().
bool FetchInto(BmServer& client, const BmString& destination) {
    WindowDownloadProgress progress(LiveWindow());
    Downloader downloader(client, &progress, destination);
    BmMsg request(downloader.ListenerId(), MSG_DOWNLOAD_REQUEST);
    request.AppendInt32(CurrentScreenClass());
    request.AppendInt32(client.ClientType());
    request.AppendInt32(kDownloadRequestConstant);
    request.AppendInt32(gDevMode != 0 ? 1 : 0);
    const bool ok = downloader.Run(&request);
    FailureCause() = downloader.Error();
    return ok;
}

// The file is in place and whole: synced, not empty, renamed over `target`.
bool Install(const std::string& part, const std::string& target) {
    struct stat info {};
    if (::stat(part.c_str(), &info) == 0 && info.st_size == 0) {
        FailureCause() = kZeroBytes;
        return false;
    }
    if (!SyncFile(part)) {
        FailureCause() = part + ": " + std::strerror(errno);
        return false;
    }
    if (!Releases().PrepareInstall(part, &FailureCause())) {
        return false;
    }
    if (std::rename(part.c_str(), target.c_str()) != 0) {
        FailureCause() = target + ": " + std::strerror(errno);
        return false;
    }
    Releases().Files().SyncFolder();
    return true;
}

// True (and said once per loss on stderr) when the runtime folder cannot be used.
bool RuntimeFolderLost() {
    static bool reported = false;
    const bool lost = RuntimeDir().empty();
    if (lost && !reported) {
        std::fprintf(stderr, "quillon: runtime folder unusable (%s); the application counts as not running\n",
                     RuntimeDirProblem().c_str());
    }
    reported = lost;
    return lost;
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

bool IsTorvixRunning() {
    // The folder is looked at on every check, the lock file only opened once: opening it for
    // every check would wake the loop's watch on it.
    if (RuntimeFolderLost()) {
        return false;
    }
    static NamedMutex mutex;
    if (!mutex.IsOpen() && !mutex.Create(kTorvixMutexName)) {
        // Without a usable runtime folder no application can hold the mutex either: counting it
        // as running would hide the launcher for good.
        return !RuntimeFolderLost();
    }
    const WaitResult result = mutex.Wait(kTorvixMutexWaitMs);
    mutex.Release();
    return result != WaitResult::Signalled;
}

BmString TorvixPath() {
    return BmString(gDevMode != 0 ? kViewerExe : kTorvixExe);
}

bool GetLocalVersion(BmString* text) {
    if (text == nullptr) {
        BM_ASSERT_REPORT();
        return false;
    }
    uint16_t parts[4] = {0, 0, 0, 0};
    if (!ReadFileVersion(HostPath(TorvixPath()), parts)) {
        return false;
    }
    BmString formatted;
    formatted.Format(u"%d.%d.%d.%d", static_cast<int>(parts[0]), static_cast<int>(parts[1]),
                     static_cast<int>(parts[2]), static_cast<int>(parts[3]));
    text->Assign(formatted);
    return true;
}

bool GetGatewayVersion(BmString* text) {
    BmServer* client = gGatewayClient;
    if (text == nullptr || client == nullptr || !client->IsConnected()) {
        return false;
    }
    BmMsg request(REQUEST_ID_NONE, MSG_VERSION_REQUEST);
    request.AppendInt32(CurrentScreenClass());
    request.AppendInt32(client->ClientType());
    request.AppendInt32(gDevMode != 0 ? 1 : 0);
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

bool DownloadTorvix(StatusSink* sink) {
    CatchFileSizeSignal();
    FailureCause() = kNoGateway;
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    const BmString finalPath = TorvixPath();
    BmString partPath(finalPath);
    partPath.AppendNarrow(kDownloadSuffix);
    const std::string hostFinal = HostPath(finalPath);
    const std::string hostPart = HostPath(partPath);

    bool ok = gGatewayClient != nullptr && FetchInto(*gGatewayClient, partPath);
    ok = ok && Install(hostPart, hostFinal);
    if (ok) {
        FailureCause().clear();
    } else {
        unlink(hostPart.c_str());
    }
    SetCursor(previous);
    if (sink != nullptr) {
        sink->ShowStatus(BmString(ok ? kDownloadOk : kDownloadFailed));
    }
    if (!ok) {
        std::fprintf(stderr, "Download failed: %s\n", FailureCause().c_str());
    }
    return ok;
}

std::string LastDownloadError() {
    return FailureCause();
}

uint32_t LaunchPauseMs() {
    const char* test = std::getenv("QUILLON_TEST");
    const char* pause = std::getenv("QUILLON_LAUNCH_PAUSE_MS");
    if (test == nullptr || std::strcmp(test, "1") != 0 || pause == nullptr || *pause == '\0') {
        return kLaunchPauseMs;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(pause, &end, 10);
    if (errno != 0 || *end != '\0' || value > kLaunchPauseMs) {
        return kLaunchPauseMs;
    }
    return static_cast<uint32_t>(value);
}

bool LaunchTorvix(bool remote) {
    if (gGatewayClient != nullptr) {
        gGatewayClient->Connection().Disconnect();
    }
    const std::string path = HostPath(TorvixPath());
    if (!IsReadableFile(path)) {
        return false;
    }
    std::string parameters;
    if (remote) {
        parameters = kRemoteParameter;
    } else if (gGatewayClient != nullptr && gGatewayClient->GetName()[0] != '\0') {
        parameters = std::string(kNameParameter) + gGatewayClient->GetName();
    }
    const pid_t pid = StartChildProgram(path, parameters.c_str());
    if (pid < 0) {
        return false;
    }
    LaunchedTablet().Started(pid, GetTickCount());
    Releases().Started(GetTickCount());
    HoldLoopChecks(LaunchPauseMs());
    return true;
}

TabletOps& Tablet() {
    return gOps != nullptr ? *gOps : gRealOps;
}

void SetTabletOps(TabletOps* ops) {
    gOps = ops;
}
