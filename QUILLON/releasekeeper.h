// Safe updates of the installed executable: the rules (ReleaseGuard) carried out on the files
// beside it (ReleaseFiles). Keeps the previous version at an install and puts the new one on
// trial, counts the quick ends of the version on trial across launcher restarts, rolls a failed
// trial back and refuses that release afterwards. Every step is ordered so that a kill at any
// moment leaves one whole executable, and Recover at the next start finishes or discards the
// interrupted work. QUILLON_ROLLBACK=0 turns all of it off.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "QUILLON/releasefiles.h"
#include "QUILLON/releaseguard.h"

class BmServer;
class StatusSink;

// True unless QUILLON_ROLLBACK is "0".
bool RollbackEnabled();

// "1.0.0.1": the file version of the executable at `path`, "" when it has none.
std::string ExecutableVersion(const std::string& path);

class ReleaseKeeper {
public:
    // What a step has to say and do.
    struct Report {
        std::vector<std::string> statusLines;  // for the window
        std::vector<std::string> stderrLines;  // for standard error only
        bool launchNow = false;                // rolled back: start the installed version without a pause
    };

    // `installed`: host path of the installed executable. Touches no file.
    ReleaseKeeper(std::string installed, bool enabled);

    bool Enabled() const { return guard_.Enabled(); }
    const ReleaseGuard& Guard() const { return guard_; }
    ReleaseFiles& Files() { return files_; }

    // At start-up: removes temporary record files, completes an install whose trial record names
    // the complete download (else removes the download), drops a trial record that does not
    // name the installed file, completes a roll back that was decided, then loads the state; a
    // roll back the gateway was not told about becomes the pending event report again.
    // `wallNow`: seconds since 1970. Blocks while it hashes the files.
    Report Recover(int64_t wallNow);

    // The install step between the checks of the downloaded file `part` and its rename: keeps the
    // installed executable as the previous one (unless the installed one is itself on trial),
    // writes the trial record naming `part`, drops the refusal in memory. False, with `cause`, when the trial
    // record cannot be written. Does nothing when disabled. Blocks while it hashes `part`.
    bool PrepareInstall(const std::string& part, std::string* cause);
    // The downloaded file is renamed into place: the refusal file goes (the technician's own
    // download of a refused release takes it again; any other install ends the refusal).
    void Installed();

    // The installed executable was started at tick `now`: a trial that does not name it (its
    // install failed after PrepareInstall) is dropped.
    void Started(uint32_t now);
    // The started executable still runs at `now`: passes its trial after a minute.
    Report StillRunning(uint32_t now);
    // Milliseconds until StillRunning passes the running trial (ReleaseGuard::kNoDeadline: none).
    uint32_t MsUntilPassed(uint32_t now) const { return guard_.MsUntilPassed(now); }
    // A started run of `runMs` ended: counts it, passes or fails the trial, rolls back.
    Report RunEnded(uint32_t runMs, int64_t wallNow);

    // The version check's judgement of the gateway's `offered` version.
    ReleaseGuard::OfferOutcome JudgeOffer(const std::string& offered, const std::string& installed) {
        return guard_.JudgeOffer(offered, installed);
    }

    // The event report of the last roll back, until taken (sent once the gateway is reachable);
    // "" when there is none.
    std::string TakeEventReport();
    // Puts a report that could not be sent back.
    void KeepEventReport(const std::string& text);
    // The report was sent: the refusal record says so, so that no later start sends it again.
    void EventReportSent();

private:
    // Puts the previous version back after `outcome` (a kRollBack) and says so in `report`.
    void RollBack(const ReleaseGuard::EndOutcome& outcome, Report* report);
    // Reloads the state from the files (after a step failed half-way).
    void Reload();
    // Takes `trial` (as read) if it names the installed file, the refusal and the previous version.
    void Load(std::optional<TrialRecord> trial);

    ReleaseFiles files_;
    ReleaseGuard guard_;
    std::string pendingReport_;
};

// Shows `report`: its status lines on `sink` (standard error when null), its other lines on
// standard error.
void ShowReleaseReport(const ReleaseKeeper::Report& report, StatusSink* sink);
// Sends `keeper`'s pending roll back report through `client` (MSG_EVENT_REPORT); kept for a later
// try when it cannot be sent. Never blocks longer than one send.
void SendReleaseReport(ReleaseKeeper& keeper, BmServer* client);
