#include "QUILLON/statusfacts.h"

#include <algorithm>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/socketutil.h"
#include "COMMON/BM_UI/uitext.h"
#include "QUILLON/launcher.h"
#include "QUILLON/releasekeeper.h"
#include "QUILLON/tabletchild.h"
#include "QUILLON/tabletops.h"
#include "QUILLON/updatetrust.h"

namespace {
// The program's 8-bit texts (a gateway's or the device's name) map byte b to code point b.
std::string EightBitToUtf8(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
        } else {
            out.push_back(static_cast<char>(0xC0 | (b >> 6)));
            out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return out;
}

std::string Utf8Of(const BmString& text) {
    BmString copy(text);  // WideText converts in place
    return Utf16ToUtf8(std::u16string(copy.WideText()));
}

// The core's versions read "UNKNOWN" until a check has read them.
std::string VersionOf(const BmString& version) {
    const std::string text = Utf8Of(version);
    return text == "UNKNOWN" ? std::string() : text;
}

std::string SignaturePolicy(const UpdateTrust* trust) {
    if (trust == nullptr) {
        return {};
    }
    if (!trust->CheckingOn()) {
        return "off: no trusted keys in " + trust->Folder();
    }
    if (trust->KeyCount() == 0) {
        return "every update refused: the trusted keys in " + trust->Folder() + " cannot be read";
    }
    return "signed by one of " + std::to_string(trust->KeyCount()) + " trusted key" +
           (trust->KeyCount() == 1 ? "" : "s") + " in " + trust->Folder();
}

std::string RollbackState(const ReleaseKeeper* keeper) {
    if (keeper == nullptr) {
        return {};
    }
    const ReleaseGuard& guard = keeper->Guard();
    if (!guard.Enabled()) {
        return "off";
    }
    std::string state = "on";
    if (!guard.PreviousVersion().empty()) {
        state += "; previous " + guard.PreviousVersion() + " kept";
    }
    if (const auto& trial = guard.Trial()) {
        state += "; " + trial->version + " on trial (" + std::to_string(trial->quickEnds) + " quick end" +
                 (trial->quickEnds == 1 ? "" : "s") + ")";
    }
    if (const auto& refused = guard.Refused()) {
        state += "; refusing " + refused->version + " (" + refused->reason + ")";
    }
    return state;
}

std::string Plural(uint32_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}
}  // namespace

int64_t StatusFacts::WallOf(uint32_t tick) const {
    const auto offset = static_cast<int32_t>(tick - baseTick_);  // signed: before or after the base
    return baseWall_ + offset / 1000;
}

void StatusFacts::Rebase(uint32_t now, time_t wall) {
    constexpr int64_t kDriftS = 2;
    if (!based_ || WallOf(now) - static_cast<int64_t>(wall) > kDriftS ||
        static_cast<int64_t>(wall) - WallOf(now) > kDriftS) {
        baseTick_ = now;
        baseWall_ = static_cast<int64_t>(wall);
        based_ = true;
    }
}

StatusSnapshot StatusFacts::Gather(Launcher& launcher, uint32_t now, time_t wall) {
    Rebase(now, wall);
    StatusSnapshot s;
    BmServer* client = launcher.GatewayClient();
    s.connected = launcher.Connected();
    if (client != nullptr) {
        s.gatewayName = EightBitToUtf8(client->Connection().GatewayName());
        const sockaddr_in& address = client->Connection().GatewayAddress();
        if (address.sin_addr.s_addr != 0) {
            s.gatewayAddress = Utf8Of(AddressText(address));
        }
        s.deviceName = EightBitToUtf8(client->GetName());
    }
    if (s.connected && !wasConnected_) {
        connectedSince_ = WallOf(now);
    }
    wasConnected_ = s.connected;
    s.connectedSince = s.connected ? connectedSince_ : std::nullopt;

    s.installedVersion = VersionOf(launcher.localVersion);
    if (s.installedVersion.empty()) {
        const auto& download = launcher.Pacing().LastDownload();
        const std::pair<uint32_t, bool> key{download ? download->at : 0, launcher.appRunning == 1};
        if (fileVersionKey_ != key || now - fileVersionAt_ >= kFileVersionMs) {
            BmString read;
            fileVersion_ = launcher.Tablet().LocalVersion(&read) ? VersionOf(read) : std::string();
            fileVersionAt_ = now;
            fileVersionKey_ = key;
        }
        s.installedVersion = fileVersion_;
    }
    s.gatewayVersion = VersionOf(launcher.gatewayVersion);
    s.appRunning = launcher.appRunning == 1;
    const std::optional<TabletChild::Launched> newest = launcher.Children().Newest();
    if (s.appRunning && !wasRunning_) {
        runningSince_ = WallOf(newest ? newest->at : now);
    }
    wasRunning_ = s.appRunning;
    // A start is held for a moment while the application takes its mutex: starting, not gone.
    s.appStarting = !s.appRunning && newest && launcher.ChecksHeldMs() > 0;
    if (s.appRunning) {
        s.appSince = runningSince_;
    }
    if ((s.appRunning || s.appStarting) && newest) {
        s.appPid = static_cast<long>(newest->pid);
    }
    const LaunchPacing& pacing = launcher.Pacing();
    if (const auto& end = pacing.LastEnd()) {
        s.appLastEnd = DescribeEnd(end->end);
        s.appLastEndAt = WallOf(end->at);
    }
    const uint32_t startLeft = pacing.StartPauseMs(now);
    const uint32_t downloadLeft = pacing.DownloadPauseMs(now);
    std::string pause;
    if (startLeft > 0) {
        pause = "start, after " + Plural(pacing.QuickEnds(), "quick end", "quick ends");
    }
    if (downloadLeft > 0) {
        pause += (pause.empty() ? "" : "; ") + std::string("download, after ") +
                 Plural(pacing.DownloadFailures(), "failed try", "failed tries");
    }
    if (!pause.empty()) {
        s.pause = pause;
        s.pauseUntil = WallOf(now + std::max(startLeft, downloadLeft));
    }
    if (const auto& download = pacing.LastDownload()) {
        s.lastDownloadAt = WallOf(download->at);
        s.lastDownloadResult = download->ok ? "installed" : "failed";
        s.lastDownloadCause = download->cause;
    }
    s.monitorMode = launcher.monitorMode != 0;
    s.devMode = launcher.devMode != 0;
    s.signaturePolicy = SignaturePolicy(launcher.Trust());
    // The keeper as the core made it (asking the core would make one, with status lines).
    s.rollbackState = RollbackState(launcher.MadeReleases());
    return s;
}
