#include "QUILLON/torvix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "COMMON/BM_COMM/BMQuery.h"
#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/downloader.h"
#include "COMMON/BM_COMM/eventreport.h"
#include "COMMON/BM_COMM/statussink.h"
#include "COMMON/BM_OS/devicepath.h"
#include "COMMON/BM_OS/fileversion.h"
#include "COMMON/BM_OS/programstart.h"
#include "COMMON/BM_OS/runtimedir.h"
#include "COMMON/BM_SIGN/payloadhasher.h"
#include "COMMON/BM_UI/winapi.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/downloadprogress.h"
#include "QUILLON/hashingprogress.h"
#include "QUILLON/installer.h"
#include "QUILLON/launcherview.h"
#include "QUILLON/programnames.h"
#include "QUILLON/screenclass.h"
#include "QUILLON/statusecho.h"
#include "QUILLON/tablethost.h"
#include "QUILLON/testoverrides.h"
#include "QUILLON/updatetrust.h"

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

// "TORVIX.EXE" of "\\TORVIX.EXE".
std::string FileName(BmString devicePath) {
    const std::string path = devicePath.NarrowText();
    return path.substr(path.find_last_of('\\') + 1);
}

// The version in the file's version block as "A.B.C.D", "" when it has none.
std::string FileVersionText(const std::string& path) {
    uint16_t parts[4] = {0, 0, 0, 0};
    if (!ReadFileVersion(path, parts)) {
        return "";
    }
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
           std::to_string(parts[3]);
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
        EchoDiagnosticLine("quillon: runtime folder unusable (" + RuntimeDirProblem() +
                           "); the application counts as not running");
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
    const std::string path = HostPath(TorvixPath(host_.DevMode()));
    if (!InstalledFileTrusted(path)) {
        return false;  // counts as missing, so that it is loaded again
    }
    uint16_t parts[4] = {0, 0, 0, 0};
    if (!ReadFileVersion(path, parts)) {
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
bool DeviceTablet::FetchInto(BmServer& client, const BmString& destination, PayloadHasher* hasher) {
    WindowDownloadProgress shown(host_.View());
    HashingProgress progress(&shown, hasher, HostPath(destination));
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
    // With checking on, the signature's hash is taken while the file arrives.
    std::unique_ptr<PayloadHasher> hasher;
    if (host_.Trust() != nullptr && host_.Trust()->CheckingOn()) {
        hasher = std::make_unique<PayloadHasher>();
    }
    bool ok = client != nullptr && FetchInto(*client, partPath, hasher.get());
    // Synced before the hash is finished: the hasher's worker reads the file back meanwhile, and
    // the install's own sync then finds nothing left to write.
    ok = ok && (hasher == nullptr || CheckPartFile(hostPart, &failureCause_));
    const std::optional<StreamedPayload> streamed =
        ok && hasher != nullptr ? std::optional<StreamedPayload>(hasher->Finish()) : std::nullopt;
    ok = ok &&
         InstallDownloadedFile(hostPart, hostFinal, &failureCause_,
                               {host_.Trust(), streamed ? &*streamed : nullptr, host_.InstallReleases()});
    if (ok) {
        failureCause_.clear();
        if (host_.Trust() != nullptr) {
            host_.Trust()->NoteInstalled(hostFinal);
        }
    } else {
        if (UpdateTrust::IsRefusal(failureCause_)) {
            // The gateway hears which version was refused, read before the file goes.
            SendEventReport(
                client,
                BmString(UpdateTrust::RefusalReport(FileVersionText(hostPart), failureCause_).c_str()));
        }
        unlink(hostPart.c_str());
    }
    SetCursor(previous);
    if (sink != nullptr) {
        sink->ShowStatus(BmString(ok ? kDownloadOk : kDownloadFailed));
    }
    if (!ok) {
        EchoDiagnosticLine("Download failed: " + failureCause_);
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
    const pid_t pid = Start(path, parameters);
    if (pid < 0) {
        return false;
    }
    host_.TabletStarted(pid);
    return true;
}

bool DeviceTablet::InstalledFileTrusted(const std::string& path) {
    UpdateTrust* trust = host_.Trust();
    std::string cause;
    const bool trusted = trust == nullptr || trust->InstalledFileValid(path, &cause);
    // Said once per cause on standard error: the version check asks every few seconds.
    if (!trusted && cause != untrustedCause_ && UpdateTrust::IsRefusal(cause)) {
        EchoDiagnosticLine(FileName(TorvixPath(host_.DevMode())) + " counts as missing (" + cause + ")");
    }
    untrustedCause_ = trusted ? "" : cause;
    return trusted;
}

pid_t DeviceTablet::Start(const std::string& path, const std::string& parameters) {
    UpdateTrust* trust = host_.Trust();
    if (trust == nullptr || !trust->CheckingOn()) {
        return StartChildProgram(path, parameters.c_str());
    }
    // Checked and started on one descriptor: a file put in its place meanwhile is never run.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    const SignatureCheck check = trust->Check(fd);
    pid_t pid = -1;
    if (check.Valid()) {
        pid = StartChildProgramFromFd(fd, path, parameters.c_str());
    } else if (LauncherView* view = host_.View()) {
        view->ShowStatus(BmString(
            (FileName(TorvixPath(host_.DevMode())) + " not started (" + check.Cause() + ")").c_str()));
    }
    close(fd);
    return pid;
}
