#include "QUILLON/releaseguard.h"

#include <utility>

namespace {
// "ended 3 times within 10 s": the reason of a failed trial.
std::string FailedTrialReason() {
    return "ended " + std::to_string(ReleaseGuard::kQuickEndsToFail) + " times within " +
           std::to_string(ReleaseGuard::kQuickRunMs / 1000) + " s";
}
std::string RollBackReport(const std::string& version, const std::string& backTo, const std::string& reason) {
    return "Torvix " + version + " rolled back to " + backTo + ": it " + reason + " of its start";
}
}  // namespace

ReleaseGuard::ReleaseGuard(bool enabled) : enabled_(enabled) {}

void ReleaseGuard::Restore(std::optional<TrialRecord> trial, std::optional<RefusedRecord> refused,
                           std::string previousVersion) {
    if (!enabled_) {
        return;
    }
    trial_ = std::move(trial);
    refused_ = std::move(refused);
    previous_ = std::move(previousVersion);
    announced_.clear();
}

bool ReleaseGuard::KeepsPrevious() const {
    return enabled_ && !(trial_ && !previous_.empty());
}

std::optional<TrialRecord> ReleaseGuard::BeginTrial(const std::string& version, const std::string& sha256,
                                                    const std::string& keptVersion) {
    if (!enabled_) {
        return std::nullopt;
    }
    if (!keptVersion.empty()) {
        previous_ = keptVersion;
    }
    refused_.reset();
    announced_.clear();
    running_ = false;
    trial_ = TrialRecord{version, sha256, 0};
    return trial_;
}

void ReleaseGuard::Started(uint32_t now) {
    running_ = true;
    startedAt_ = now;
}

std::string ReleaseGuard::StillRunning(uint32_t now) {
    if (!running_ || !trial_ || now - startedAt_ <= kTrialRunMs) {
        return "";
    }
    const std::string line = "Torvix " + trial_->version + " passed its trial";
    trial_.reset();
    return line;
}

uint32_t ReleaseGuard::MsUntilPassed(uint32_t now) const {
    if (!running_ || !trial_) {
        return kNoDeadline;
    }
    const uint32_t ran = now - startedAt_;
    return ran > kTrialRunMs ? 0 : kTrialRunMs + 1 - ran;
}

ReleaseGuard::EndOutcome ReleaseGuard::RunEnded(uint32_t runMs, int64_t wallNow) {
    // Only a run of the version on trial counts: one started before its install does not.
    const bool ofTrial = running_;
    running_ = false;
    EndOutcome outcome;
    if (!trial_ || !ofTrial) {
        return outcome;
    }
    const std::string version = trial_->version;
    if (runMs > kTrialRunMs) {
        outcome.verdict = Verdict::kPassed;
        outcome.stderrLine = "Torvix " + version + " passed its trial";
        trial_.reset();
        return outcome;
    }
    if (runMs >= kQuickRunMs) {
        return outcome;
    }
    if (trial_->quickEnds < kMaxRecordQuickEnds) {
        ++trial_->quickEnds;
    }
    outcome.trial = trial_;
    if (trial_->quickEnds < kQuickEndsToFail) {
        outcome.verdict = Verdict::kCounted;
        return outcome;
    }
    return Failed(wallNow);
}

ReleaseGuard::EndOutcome ReleaseGuard::ResumeFailedTrial(int64_t wallNow) {
    if (!trial_ || trial_->quickEnds < kQuickEndsToFail || previous_.empty()) {
        return EndOutcome{};
    }
    return Failed(wallNow);
}

ReleaseGuard::EndOutcome ReleaseGuard::Failed(int64_t wallNow) {
    EndOutcome outcome;
    outcome.trial = trial_;
    const std::string version = trial_->version;
    if (previous_.empty()) {
        outcome.verdict = Verdict::kFailedWithoutPrevious;
        if (trial_->quickEnds == kQuickEndsToFail) {
            outcome.statusLine =
                "Torvix " + version + " " + FailedTrialReason() + ": no previous version to go back to";
        }
        return outcome;
    }
    outcome.verdict = Verdict::kRollBack;
    outcome.refusal = RefusedRecord{version, trial_->sha256, FailedTrialReason(), wallNow};
    outcome.statusLine = "Torvix " + version + " " + FailedTrialReason() + ": back to " + previous_;
    outcome.eventReport = RollBackReport(version, previous_, FailedTrialReason());
    refused_ = outcome.refusal;
    trial_.reset();
    previous_.clear();
    announced_.clear();
    return outcome;
}

std::string ReleaseGuard::UnreportedRollBack(const std::string& installed) const {
    if (!refused_ || refused_->reported) {
        return "";
    }
    return RollBackReport(refused_->version, installed.empty() ? "?" : installed, refused_->reason);
}

void ReleaseGuard::RollBackReported() {
    if (refused_) {
        refused_->reported = true;
    }
}

ReleaseGuard::OfferOutcome ReleaseGuard::JudgeOffer(const std::string& offered,
                                                    const std::string& installed) {
    OfferOutcome outcome;
    if (!enabled_ || !refused_ || offered != refused_->version || installed.empty() || installed == offered) {
        announced_.clear();
        return outcome;
    }
    outcome.refuse = true;
    const std::string about = offered + "\n" + refused_->sha256 + "\n" + installed;
    if (about != announced_) {
        announced_ = about;
        outcome.statusLine = "Not taking Torvix " + offered + " again (rolled back: " + refused_->reason +
                             "): keeping " + installed;
    }
    return outcome;
}
