// The rules of safe updates. A newly installed version is on trial until one run lasts longer
// than a minute; it fails when it ends within 10 s of its start three times in a row (runs in
// between change nothing, as for the restart pause). A failed trial with the version before it
// kept is rolled back, and that release is refused while the gateway keeps offering it; the
// technician's own download takes it again. Pure rules on run lengths, tick counts and wall time
// handed in: the caller does the file work (ReleaseFiles) with what the rules return.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "QUILLON/releasefiles.h"
#include "QUILLON/restartbackoff.h"

class ReleaseGuard {
public:
    static constexpr uint32_t kQuickEndsToFail = 3;
    static constexpr uint32_t kQuickRunMs = RestartBackoff::kQuickRunMs;
    static constexpr uint32_t kTrialRunMs = RestartBackoff::kGoodRunMs;

    // What a run's end means for the version on trial.
    enum class Verdict {
        kNone,                   // not on trial, or a run that counts neither way
        kCounted,                // one more quick end: `trial` is the record to keep
        kPassed,                 // the trial record goes; `stderrLine` says so
        kRollBack,               // write `refusal`, put the previous version back, remove the trial
        kFailedWithoutPrevious,  // failed, but nothing to go back to: `trial` is the record to keep
    };
    struct EndOutcome {
        Verdict verdict = Verdict::kNone;
        std::optional<TrialRecord> trial;
        std::optional<RefusedRecord> refusal;
        std::string statusLine;   // for the window, "" for none
        std::string stderrLine;   // for standard error only
        std::string eventReport;  // for the gateway
    };

    // What the version check makes of the gateway's offer.
    struct OfferOutcome {
        bool refuse = false;     // download nothing, start the installed version
        std::string statusLine;  // why, once per change of offer or refusal; "" otherwise
    };

    // `enabled` false (QUILLON_ROLLBACK=0): no previous kept, no trial, nothing refused.
    explicit ReleaseGuard(bool enabled = true);

    // The state found on disk: the trial record only when it names the installed file, the
    // refusal, and the version of the previous executable ("" when none is kept).
    void Restore(std::optional<TrialRecord> trial, std::optional<RefusedRecord> refused,
                 std::string previousVersion);

    bool Enabled() const { return enabled_; }
    const std::optional<TrialRecord>& Trial() const { return trial_; }
    const std::optional<RefusedRecord>& Refused() const { return refused_; }
    const std::string& PreviousVersion() const { return previous_; }

    // Whether an install keeps the installed executable as the previous one. Not while that one
    // is itself on trial and a previous is kept: the previous stays the last version that did not
    // fail, so that a roll back lands on something that ran.
    bool KeepsPrevious() const;
    // A new file is about to replace the installed one. `keptVersion`: the version just kept as
    // previous ("" when KeepsPrevious said no or nothing was installed). Returns the trial record
    // to write first; clears the refusal (the caller removes its file once the file is in place).
    std::optional<TrialRecord> BeginTrial(const std::string& version, const std::string& sha256,
                                          const std::string& keptVersion);

    // The installed version was started at tick `now`.
    void Started(uint32_t now);
    // The started run, begun at the tick Started got, still runs at `now`: after a minute the
    // trial is passed. Returns the stderr line then ("Torvix 2.0.0.7 passed its trial"), else "".
    std::string StillRunning(uint32_t now);
    // Milliseconds from `now` until StillRunning passes the running trial (kNoDeadline: none).
    static constexpr uint32_t kNoDeadline = 0xFFFFFFFFu;
    uint32_t MsUntilPassed(uint32_t now) const;
    // A run of `runMs` ended at wall time `wallNow` (seconds since 1970). Counts only for a run
    // Started since the trial began.
    EndOutcome RunEnded(uint32_t runMs, int64_t wallNow);
    // A trial found at start-up with its quick ends already at the limit: the roll back decided
    // before the launcher ended (kRollBack), or kNone.
    EndOutcome ResumeFailedTrial(int64_t wallNow);

    // The event report of a roll back the gateway was not told about yet ("" when none):
    // "Torvix 2.0.0.7 rolled back to 1.0.0.1: it ended 3 times within 10 s of its start", with
    // `installed` the version put back.
    std::string UnreportedRollBack(const std::string& installed) const;
    // The gateway was told about the refused release.
    void RollBackReported();

    // The gateway offers `offered`; `installed` is the installed version ("" when none).
    OfferOutcome JudgeOffer(const std::string& offered, const std::string& installed);

private:
    // The trial's count reached the limit: roll back or say there is nothing to go back to.
    EndOutcome Failed(int64_t wallNow);

    bool enabled_;
    std::optional<TrialRecord> trial_;
    std::optional<RefusedRecord> refused_;
    std::string previous_;
    bool running_ = false;
    uint32_t startedAt_ = 0;
    std::string announced_;  // the offer and refusal the last refusal line was about
};
