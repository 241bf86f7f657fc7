#include "QUILLON/releasekeeper.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/eventreport.h"
#include "COMMON/BM_COMM/statussink.h"
#include "COMMON/BM_OS/fileversion.h"
#include "QUILLON/statusecho.h"

namespace {
constexpr char kNoVersion[] = "unknown";

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}
}  // namespace

bool RollbackEnabled() {
    const char* value = std::getenv("QUILLON_ROLLBACK");
    return value == nullptr || std::strcmp(value, "0") != 0;
}

std::string ExecutableVersion(const std::string& path) {
    uint16_t parts[4] = {0, 0, 0, 0};
    if (!ReadFileVersion(path, parts)) {
        return "";
    }
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
           std::to_string(parts[3]);
}

ReleaseKeeper::ReleaseKeeper(std::string installed, bool enabled)
    : files_(std::move(installed)), guard_(enabled) {}

ReleaseKeeper::Report ReleaseKeeper::Recover(int64_t wallNow) {
    Report report;
    if (!Enabled()) {
        return report;
    }
    files_.RemoveTemporaries();
    std::optional<TrialRecord> trial = files_.ReadTrial();
    const std::string part = files_.PartPath();
    if (Exists(part)) {
        // The trial record is written after the download was synced and checked: a download it
        // names is whole, and only its rename was missing.
        if (trial && trial->quickEnds == 0 && Sha256OfFile(part) == trial->sha256 && files_.Replace(part) &&
            files_.SyncFolder()) {
            report.stderrLines.push_back("quillon: finished the install of Torvix " + trial->version);
        } else {
            unlink(part.c_str());
        }
    }
    Load(trial);
    const ReleaseGuard::EndOutcome resumed = guard_.ResumeFailedTrial(wallNow);
    if (resumed.verdict == ReleaseGuard::Verdict::kRollBack) {
        RollBack(resumed, &report);
    } else {
        // A roll back whose report a kill or power cut kept from the gateway.
        pendingReport_ = guard_.UnreportedRollBack(ExecutableVersion(files_.Installed()));
    }
    return report;
}

bool ReleaseKeeper::PrepareInstall(const std::string& part, std::string* cause) {
    if (!Enabled()) {
        return true;
    }
    struct stat installed {};
    const bool exists = lstat(files_.Installed().c_str(), &installed) == 0;
    if (exists && !S_ISREG(installed.st_mode)) {
        return true;  // the rename will fail: nothing to keep, nothing to try
    }
    std::string kept;
    if (guard_.KeepsPrevious() && exists) {
        const std::string version = ExecutableVersion(files_.Installed());
        if (files_.KeepPrevious()) {
            kept = version.empty() ? kNoVersion : version;
        } else {
            // A folder without hard links still takes updates, only without a way back.
            EchoDiagnosticLine("quillon: previous version not kept (" + files_.LastError() + ")");
        }
    }
    const std::string sha256 = Sha256OfFile(part);
    const std::string version = ExecutableVersion(part);
    const std::optional<TrialRecord> trial =
        sha256.empty() ? std::nullopt
                       : guard_.BeginTrial(version.empty() ? kNoVersion : version, sha256, kept);
    if (!trial || !files_.WriteTrial(*trial)) {
        if (cause != nullptr) {
            *cause = trial ? files_.LastError() : part + ": cannot be read";
        }
        Reload();
        return false;
    }
    return true;
}

void ReleaseKeeper::Installed() {
    // Only now: a rename that failed leaves the refusal in force (Reload brings it back).
    if (Enabled() && Exists(files_.RefusedPath()) && files_.RemoveRefused()) {
        files_.SyncFolder();
    }
}

void ReleaseKeeper::Started(uint32_t now) {
    if (!Enabled()) {
        return;
    }
    const std::optional<TrialRecord>& trial = guard_.Trial();
    if (trial && Sha256OfFile(files_.Installed()) != trial->sha256) {
        Reload();
    }
    guard_.Started(now);
}

ReleaseKeeper::Report ReleaseKeeper::StillRunning(uint32_t now) {
    Report report;
    const std::string passed = guard_.StillRunning(now);
    if (!passed.empty()) {
        report.stderrLines.push_back(passed);
        files_.RemoveTrial();
        files_.SyncFolder();
    }
    return report;
}

ReleaseKeeper::Report ReleaseKeeper::RunEnded(uint32_t runMs, int64_t wallNow) {
    Report report;
    const ReleaseGuard::EndOutcome outcome = guard_.RunEnded(runMs, wallNow);
    if (!outcome.statusLine.empty() && outcome.verdict != ReleaseGuard::Verdict::kRollBack) {
        report.statusLines.push_back(outcome.statusLine);
    }
    switch (outcome.verdict) {
        case ReleaseGuard::Verdict::kNone:
            break;
        case ReleaseGuard::Verdict::kPassed:
            report.stderrLines.push_back(outcome.stderrLine);
            files_.RemoveTrial();
            files_.SyncFolder();
            break;
        case ReleaseGuard::Verdict::kCounted:
        case ReleaseGuard::Verdict::kFailedWithoutPrevious:
            if (!files_.WriteTrial(*outcome.trial)) {
                report.stderrLines.push_back("quillon: " + files_.LastError());
            }
            break;
        case ReleaseGuard::Verdict::kRollBack:
            // The count goes to the disk first: a kill from here on is finished by Recover.
            if (!files_.WriteTrial(*outcome.trial)) {
                report.stderrLines.push_back("quillon: " + files_.LastError());
            }
            RollBack(outcome, &report);
            break;
    }
    return report;
}

std::string ReleaseKeeper::TakeEventReport() {
    return std::exchange(pendingReport_, std::string());
}

void ReleaseKeeper::KeepEventReport(const std::string& text) {
    pendingReport_ = text;
}

void ReleaseKeeper::EventReportSent() {
    guard_.RollBackReported();
    if (guard_.Refused() && !files_.WriteRefused(*guard_.Refused())) {
        EchoDiagnosticLine("quillon: " + files_.LastError());
    }
}

void ReleaseKeeper::RollBack(const ReleaseGuard::EndOutcome& outcome, Report* report) {
    const bool done = files_.WriteRefused(*outcome.refusal) && files_.RestorePrevious() &&
                      files_.SyncFolder() && files_.RemoveTrial() && files_.SyncFolder();
    if (!done) {
        report->statusLines.push_back("Roll back failed: " + files_.LastError());
        Reload();
        return;
    }
    report->statusLines.push_back(outcome.statusLine);
    report->launchNow = true;
    pendingReport_ = outcome.eventReport;
}

void ReleaseKeeper::Reload() {
    Load(files_.ReadTrial());
}

void ReleaseKeeper::Load(std::optional<TrialRecord> trial) {
    // A trial record applies only to the file it names: one written before an install that
    // never happened is dropped.
    if (trial && Sha256OfFile(files_.Installed()) != trial->sha256) {
        trial.reset();
        files_.RemoveTrial();
        files_.SyncFolder();
    }
    // A roll back counts the quick ends to the limit before it writes the refusal; a trial below
    // it beside a refusal is an install made since, killed before its refusal went.
    if (trial && trial->quickEnds < ReleaseGuard::kQuickEndsToFail && Exists(files_.RefusedPath()) &&
        files_.RemoveRefused()) {
        files_.SyncFolder();
    }
    const bool havePrevious = files_.HasPrevious();
    const std::string previous = havePrevious ? ExecutableVersion(files_.Previous()) : "";
    guard_.Restore(trial, files_.ReadRefused(),
                   havePrevious ? (previous.empty() ? kNoVersion : previous) : "");
}

void ShowReleaseReport(const ReleaseKeeper::Report& report, StatusSink* sink) {
    for (const std::string& line : report.statusLines) {
        if (sink != nullptr) {
            sink->ShowStatus(BmString(line.c_str()));
        } else {
            EchoDiagnosticLine(line);
        }
    }
    for (const std::string& line : report.stderrLines) {
        EchoDiagnosticLine(line);
    }
}

void SendReleaseReport(ReleaseKeeper& keeper, BmServer* client) {
    const std::string text = keeper.TakeEventReport();
    if (text.empty()) {
        return;
    }
    if (client != nullptr && client->IsConnected() && SendEventReport(client, BmString(text.c_str()))) {
        keeper.EventReportSent();
    } else {
        keeper.KeepEventReport(text);
    }
}
