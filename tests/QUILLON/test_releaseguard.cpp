// Safe updates: the rules (trial, roll back, refusal, the technician's override) as one table of
// scripted steps on the manual clock; the records as untrusted text; the file steps and the
// recovery after a kill, on real stamped executables.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string_view>

#include "COMMON/BM_OS/bmclock.h"
#include "QUILLON/releaseguard.h"
#include "QUILLON/releasekeeper.h"
#include "QUILLON/torvix.h"
#include "tests/QUILLON/support_launcher.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"

static_assert(std::string_view(ReleaseFiles::kPartSuffix) == kDownloadSuffix, "the installer's part file");

namespace {
constexpr int64_t kWallNow = 1796850245;  // 2026-12-09T21:04:05Z

struct RuleCase {
    const char* name;
    bool enabled;
    uint32_t clockStart;
    const char* installed;  // the version installed before the first step ("" none)
    std::vector<std::pair<std::string, std::string>> steps;  // action, what it must answer
};

// Runs one action on the guard: "install V" / "override V" (a download the version check allowed
// / the technician's own), "run MS" (a start and its end after MS), "start" and "end MS" (the
// same, apart), "alive MS" (still running after MS), "offer V", "restart" (a new launcher finds
// what the old one left on disk).
class RuleScript {
public:
    explicit RuleScript(const RuleCase& c)
        : guard_(c.enabled), clock_(c.clockStart), installed_(c.installed) {}

    std::string Do(const std::string& action) {
        std::istringstream in(action);
        std::string verb;
        std::string arg;
        in >> verb >> arg;
        if (verb == "install" || verb == "override") {
            const std::string kept = guard_.KeepsPrevious() ? installed_ : "";
            const auto trial = guard_.BeginTrial(arg, Sha(arg), kept);
            installed_ = arg;
            return trial ? "trial " + trial->version + " previous " + guard_.PreviousVersion() : "";
        }
        if (verb == "start") {
            guard_.Started(clock_.TickCount());
            return "";
        }
        if (verb == "end") {
            return Describe(guard_.RunEnded(static_cast<uint32_t>(std::stoul(arg)), kWallNow));
        }
        if (verb == "run" || verb == "alive") {
            const uint32_t ms = static_cast<uint32_t>(std::stoul(arg));
            guard_.Started(clock_.TickCount());
            clock_.Advance(ms);
            if (verb == "alive") {
                return guard_.StillRunning(clock_.TickCount());
            }
            const ReleaseGuard::EndOutcome end = guard_.RunEnded(ms, kWallNow);
            return Describe(end);
        }
        if (verb == "offer") {
            const ReleaseGuard::OfferOutcome offer = guard_.JudgeOffer(arg, installed_);
            return std::string(offer.refuse ? "refuse" : "take") +
                   (offer.statusLine.empty() ? "" : " | " + offer.statusLine);
        }
        if (verb == "restart") {
            ReleaseGuard fresh(guard_.Enabled());
            fresh.Restore(guard_.Trial(), guard_.Refused(), guard_.PreviousVersion());
            guard_ = fresh;
            return "";
        }
        return "unknown action " + action;
    }

private:
    static std::string Sha(const std::string& version) { return std::string(64 - version.size(), '0') + "a"; }

    std::string Describe(const ReleaseGuard::EndOutcome& end) {
        using V = ReleaseGuard::Verdict;
        std::string text;
        switch (end.verdict) {
            case V::kNone:
                return "none";
            case V::kPassed:
                return "passed | " + end.stderrLine;
            case V::kCounted:
                return "counted " + std::to_string(end.trial->quickEnds);
            case V::kFailedWithoutPrevious:
                text = "failed " + std::to_string(end.trial->quickEnds);
                break;
            case V::kRollBack:
                EXPECT_EQ(end.refusal->sha256, Sha(end.refusal->version));
                EXPECT_EQ(end.refusal->time, kWallNow);
                installed_ = end.statusLine.substr(end.statusLine.rfind(' ') + 1);  // "back to V"
                text = "rollback | " + end.eventReport;
                break;
        }
        return text + (end.statusLine.empty() ? "" : " | " + end.statusLine);
    }

    ReleaseGuard guard_;
    ManualClock clock_;
    std::string installed_;
};

const char kRolledBack[] =
    "rollback | Torvix 2.0.0.7 rolled back to 1.0.0.1: it ended 3 times within 10 s of its start | Torvix "
    "2.0.0.7 ended 3 times within 10 s: back to 1.0.0.1";
const char kRefusing[] =
    "refuse | Not taking Torvix 2.0.0.7 again (rolled back: ended 3 times within 10 s): keeping 1.0.0.1";

const RuleCase kRuleCases[] = {
    {"ALongRunPassesTheTrial",
     true,
     1000,
     "1.0.0.1",
     {{"install 2.0.0.7", "trial 2.0.0.7 previous 1.0.0.1"},
      {"run 2000", "counted 1"},
      {"run 10000", "none"},  // 10 s is no longer quick, and not yet good
      {"run 60000", "none"},
      {"run 60001", "passed | Torvix 2.0.0.7 passed its trial"},
      {"run 100", "none"},  // no longer on trial
      {"run 100", "none"},
      {"run 100", "none"}}},
    {"ARunOfTheVersionBeforeTheInstallDoesNotCount",
     true,
     1000,
     "1.0.0.1",
     {{"start", ""},
      {"install 2.0.0.7", "trial 2.0.0.7 previous 1.0.0.1"},
      {"end 100", "none"},
      {"run 100", "counted 1"}}},
    {"StillRunningAfterAMinutePassesAcrossTheTickWrap",
     true,
     0xFFFFFF00u,
     "1.0.0.1",
     {{"install 2.0.0.7", "trial 2.0.0.7 previous 1.0.0.1"},
      {"alive 60000", ""},
      {"alive 60001", "Torvix 2.0.0.7 passed its trial"},
      {"run 100", "none"}}},
    {"ThreeQuickEndsRollBackAcrossARestartAndRefuseTheRelease",
     true,
     1000,
     "1.0.0.1",
     {{"install 2.0.0.7", "trial 2.0.0.7 previous 1.0.0.1"},
      {"run 2000", "counted 1"},
      {"run 30000", "none"},  // a middling run does not break the row
      {"restart", ""},
      {"run 9999", "counted 2"},
      {"run 0", kRolledBack},
      {"offer 2.0.0.7", kRefusing},
      {"offer 2.0.0.7", "refuse"},  // once per change
      {"restart", ""},
      {"offer 2.0.0.7", kRefusing},
      {"offer 3.0.0.0", "take"},
      {"offer 2.0.0.7", kRefusing},
      {"install 3.0.0.0", "trial 3.0.0.0 previous 1.0.0.1"},
      {"offer 2.0.0.7", "take"}}},  // cleared by the install
    {"TheTechniciansDownloadTakesARefusedReleaseAgain",
     true,
     1000,
     "1.0.0.1",
     {{"install 2.0.0.7", "trial 2.0.0.7 previous 1.0.0.1"},
      {"run 1", "counted 1"},
      {"run 1", "counted 2"},
      {"run 1", kRolledBack},
      {"override 2.0.0.7", "trial 2.0.0.7 previous 1.0.0.1"},
      {"offer 2.0.0.7", "take"},
      {"run 1", "counted 1"},
      {"run 1", "counted 2"},
      {"run 1", kRolledBack},
      {"offer 2.0.0.7", kRefusing}}},
    {"AnInstallOverAVersionOnTrialKeepsTheLastGoodPrevious",
     true,
     1000,
     "1.0.0.1",
     {{"install 2.0.0.7", "trial 2.0.0.7 previous 1.0.0.1"},
      {"run 1", "counted 1"},
      {"install 3.0.0.0", "trial 3.0.0.0 previous 1.0.0.1"},
      {"run 1", "counted 1"},
      {"run 1", "counted 2"},
      {"run 1",
       "rollback | Torvix 3.0.0.0 rolled back to 1.0.0.1: it ended 3 times within 10 s of its start | Torvix "
       "3.0.0.0 ended 3 times within 10 s: back to 1.0.0.1"}}},
    {"AFirstInstallThatFailsHasNothingToGoBackTo",
     true,
     1000,
     "",
     {{"install 1.0.0.1", "trial 1.0.0.1 previous "},
      {"run 1", "counted 1"},
      {"run 1", "counted 2"},
      {"run 1", "failed 3 | Torvix 1.0.0.1 ended 3 times within 10 s: no previous version to go back to"},
      {"run 1", "failed 4"},
      {"offer 1.0.0.1", "take"},
      {"run 60001", "passed | Torvix 1.0.0.1 passed its trial"}}},
    {"SwitchedOffKeepsNothingAndRefusesNothing",
     false,
     1000,
     "1.0.0.1",
     {{"install 2.0.0.7", ""},
      {"run 1", "none"},
      {"run 1", "none"},
      {"run 1", "none"},
      {"offer 2.0.0.7", "take"}}},
};

class ReleaseRules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(ReleaseRules, AnswerEveryStepAsScripted) {
    RuleScript script(GetParam());
    int step = 0;
    for (const auto& [action, expected] : GetParam().steps) {
        EXPECT_EQ(script.Do(action), expected) << "step " << step << ": " << action;
        ++step;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ReleaseRules, ::testing::ValuesIn(kRuleCases),
                         [](const ::testing::TestParamInfo<RuleCase>& p) {
                             return std::string(p.param.name);
                         });

TEST(ReleaseRecords, RoundTripAndRejectDamagedText) {
    const TrialRecord trial{"2.0.0.7", std::string(64, 'f'), 2};
    EXPECT_EQ(ParseTrial(FormatTrial(trial), nullptr), trial);
    for (const bool reported : {false, true}) {
        const RefusedRecord refused{"2.0.0.7", std::string(64, '0'), "ended 3 times within 10 s", kWallNow,
                                    reported};
        const std::string text = FormatRefused(refused);
        EXPECT_NE(text.find("time=2026-12-09T21:04:05Z\nreported=" + std::string(reported ? "yes" : "no")),
                  std::string::npos)
            << text;
        EXPECT_EQ(ParseRefused(text, nullptr), refused);
    }

    const std::string sha = "sha256=" + std::string(64, 'a') + "\n";
    const std::pair<std::string, const char*> damaged[] = {
        {"version=1\n" + sha, "no quick-ends"},
        {"version=1\n" + sha + "quick-ends=1\nquick-ends=1\n", "repeated key 'quick-ends'"},
        {"version=1\n" + sha + "quick-ends=1\nextra=1\n", "unknown key 'extra'"},
        {"version=1\nsha256=" + std::string(64, 'A') + "\nquick-ends=1\n", "bad sha256"},
        {"version=1\nsha256=abc\nquick-ends=1\n", "bad sha256"},
        {"version=\n" + sha + "quick-ends=1\n", "bad version"},
        {"version=" + std::string(64, '1') + "\n" + sha + "quick-ends=1\n", "bad version"},
        {"version=1\n" + sha + "quick-ends=1001\n", "bad quick-ends"},
        {"version=1\n" + sha + "quick-ends=-1\n", "bad quick-ends"},
        {"version=1\n" + sha + "quick-ends=99999999999999999999\n", "bad quick-ends"},
        {"version=1\x01\n" + sha + "quick-ends=1\n", "control character"},
        {"version 1\n", "line without '='"},
        {std::string(kMaxRecordBytes + 1, '#'), "longer than 4096 bytes"},
    };
    for (const auto& [input, cause] : damaged) {
        std::string why;
        EXPECT_FALSE(ParseTrial(input, &why)) << input;
        EXPECT_EQ(why, cause) << input;
    }
    const std::string refusedHead = "version=1\n" + sha + "reason=x\n";
    const std::pair<std::string, const char*> damagedRefusals[] = {
        {refusedHead + "time=2026-12-09 21:04:05Z\nreported=no\n", "bad time"},
        {refusedHead + "time=2026-13-09T21:04:05Z\nreported=no\n", "bad time"},
        {refusedHead + "time=2026-12-09T21:04:05\nreported=no\n", "bad time"},
        {refusedHead + "time=2026-12-09T21:04:05Z\nreported=maybe\n", "bad reported"},
        {refusedHead + "time=2026-12-09T21:04:05Z\n", "no reported"},
        {"version=1\n" + sha + "reason=" + std::string(201, 'x') +
             "\ntime=2026-12-09T21:04:05Z\nreported=no\n",
         "reason too long"},
    };
    for (const auto& [input, cause] : damagedRefusals) {
        std::string why;
        EXPECT_FALSE(ParseRefused(input, &why)) << input;
        EXPECT_EQ(why, cause) << input;
    }
}

// A device root with the installed v1 and a downloaded v2 beside it, as the installer leaves them
// before its own steps.
class ReleaseOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(LauncherWorld::MakeStampedApp(dir_.File("v1"), "1.0.0.1"));
        ASSERT_TRUE(LauncherWorld::MakeStampedApp(dir_.File("v2"), "2.0.0.7"));
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
        ASSERT_TRUE(CopyFile(dir_.File("v1"), exe_));
        ASSERT_TRUE(CopyFile(dir_.File("v2"), part_));
    }
    // The installer's steps around PrepareInstall.
    bool Install(ReleaseKeeper& keeper) {
        std::string cause;
        if (!keeper.PrepareInstall(part_, &cause) || !keeper.Files().Replace(part_) ||
            !keeper.Files().SyncFolder()) {
            return false;
        }
        keeper.Installed();
        return true;
    }
    std::string Holds(const std::string& path) {
        const std::string bytes = ReadFile(path);
        return bytes == ReadFile(dir_.File("v1"))   ? "v1"
               : bytes == ReadFile(dir_.File("v2")) ? "v2"
                                                    : "other";
    }
    ScratchDir dir_{"quillon-release"};
    std::string root_ = dir_.File("root");
    std::string exe_ = root_ + "/TORVIX.EXE";
    std::string part_ = exe_ + ".download";
};

TEST_F(ReleaseOnDisk, ATrialThatFailsAcrossARestartPutsTheSameBytesBack) {
    ReleaseKeeper keeper(exe_, true);
    ASSERT_TRUE(Install(keeper)) << keeper.Files().LastError();
    EXPECT_EQ(NamesIn(root_),
              (std::vector<std::string>{"TORVIX.EXE", "TORVIX.EXE.previous", "TORVIX.EXE.trial"}));
    EXPECT_EQ(Holds(keeper.Files().Previous()), "v1");
    keeper.Started(0);
    EXPECT_TRUE(keeper.RunEnded(100, kWallNow).statusLines.empty());
    keeper.Started(0);
    keeper.RunEnded(100, kWallNow);
    EXPECT_EQ(keeper.Files().ReadTrial()->quickEnds, 2u);

    ReleaseKeeper restarted(exe_, true);
    EXPECT_TRUE(restarted.Recover(kWallNow).statusLines.empty());
    restarted.Started(0);
    const ReleaseKeeper::Report report = restarted.RunEnded(100, kWallNow);
    EXPECT_EQ(report.statusLines,
              std::vector<std::string>{"Torvix 2.0.0.7 ended 3 times within 10 s: back to 1.0.0.1"});
    EXPECT_TRUE(report.launchNow);
    EXPECT_EQ(restarted.TakeEventReport(),
              "Torvix 2.0.0.7 rolled back to 1.0.0.1: it ended 3 times within 10 s of its start");
    EXPECT_EQ(restarted.TakeEventReport(), "");
    // Told once: a later start has nothing to tell.
    restarted.EventReportSent();
    ReleaseKeeper later(exe_, true);
    later.Recover(kWallNow);
    EXPECT_EQ(later.TakeEventReport(), "");
    EXPECT_TRUE(later.Files().ReadRefused()->reported);
    EXPECT_EQ(Holds(exe_), "v1");
    EXPECT_EQ(NamesIn(root_), (std::vector<std::string>{"TORVIX.EXE", "TORVIX.EXE.refused"}));
    const auto refused = restarted.Files().ReadRefused();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->sha256, Sha256OfFile(dir_.File("v2")));
    EXPECT_TRUE(restarted.JudgeOffer("2.0.0.7", "1.0.0.1").refuse);
}

TEST_F(ReleaseOnDisk, AMinutesRunPassesTheTrialAndADamagedRefusalIsIgnored) {
    ASSERT_TRUE(WriteFile(exe_ + ".refused", "version=2.0.0.7\nsha256=not-a-hash\n"));
    ReleaseKeeper keeper(exe_, true);
    keeper.Recover(kWallNow);  // a start with no trial record takes the download away
    EXPECT_FALSE(keeper.Guard().Refused());
    EXPECT_FALSE(keeper.JudgeOffer("2.0.0.7", "1.0.0.1").refuse);
    ASSERT_TRUE(CopyFile(dir_.File("v2"), part_));
    ASSERT_TRUE(Install(keeper)) << keeper.Files().LastError();
    keeper.Started(0);
    EXPECT_TRUE(keeper.StillRunning(60000).stderrLines.empty());
    EXPECT_EQ(keeper.StillRunning(60001).stderrLines,
              std::vector<std::string>{"Torvix 2.0.0.7 passed its trial"});
    EXPECT_EQ(NamesIn(root_), (std::vector<std::string>{"TORVIX.EXE", "TORVIX.EXE.previous"}));
    EXPECT_TRUE(keeper.RunEnded(100, kWallNow).statusLines.empty());  // passed: a quick end is no trial
}

// Each row leaves the files as a kill at one moment of an install or a roll back would; the next
// start must leave one whole executable and finish or discard the work.
struct KillCase {
    const char* name;
    int installSteps;    // 0 none, 1 PrepareInstall only, 2 the whole install
    uint32_t quickEnds;  // trial count on disk after the install
    int rollBackSteps;   // 1 refusal written, 2 previous put back
    bool partLost;       // the download removed after a failed rename
    const char* installed;
    std::vector<std::string> names;
    size_t statusLines;
    bool reportPending;          // the gateway is still to be told of a roll back
    bool refusedBefore = false;  // an older release was refused (and reported) before this install
};

class ReleaseRecovery : public ReleaseOnDisk, public ::testing::WithParamInterface<KillCase> {};

TEST_P(ReleaseRecovery, FinishesOrDiscardsTheWork) {
    const KillCase& c = GetParam();
    if (c.refusedBefore) {
        ASSERT_TRUE(ReleaseFiles(exe_).WriteRefused(
            {"0.9.0.0", std::string(64, 'a'), "ended 3 times", kWallNow, true}));
    }
    ReleaseKeeper before(exe_, true);
    std::string cause;
    if (c.installSteps >= 1) {
        ASSERT_TRUE(before.PrepareInstall(part_, &cause)) << cause;
    }
    if (c.installSteps >= 2) {
        ASSERT_TRUE(before.Files().Replace(part_));
        TrialRecord trial = *before.Files().ReadTrial();
        trial.quickEnds = c.quickEnds;
        ASSERT_TRUE(before.Files().WriteTrial(trial));
    } else {
        ASSERT_TRUE(
            WriteFile(part_, ReadFile(part_).substr(0, c.installSteps == 0 ? 1000 : std::string::npos)));
    }
    if (c.partLost) {
        ASSERT_EQ(unlink(part_.c_str()), 0);
    }
    if (c.rollBackSteps >= 1) {
        ASSERT_TRUE(before.Files().WriteRefused({"2.0.0.7", Sha256OfFile(exe_), "ended 3 times", kWallNow}));
    }
    if (c.rollBackSteps >= 2) {
        ASSERT_TRUE(before.Files().RestorePrevious());
    }
    ASSERT_TRUE(WriteFile(exe_ + ".trial.tmp", "version=9"));

    ReleaseKeeper after(exe_, true);
    const ReleaseKeeper::Report report = after.Recover(kWallNow);
    EXPECT_EQ(Holds(exe_), c.installed);
    EXPECT_EQ(NamesIn(root_), c.names);
    EXPECT_EQ(report.statusLines.size(), c.statusLines);
    EXPECT_EQ(report.launchNow, c.statusLines > 0);
    const std::string pending = after.TakeEventReport();
    EXPECT_EQ(pending.empty(), !c.reportPending) << pending;
    if (c.reportPending) {
        EXPECT_EQ(pending.rfind("Torvix 2.0.0.7 rolled back to 1.0.0.1: it ended", 0), 0u) << pending;
    }
}

const std::vector<std::string> kInstalledOnly{"TORVIX.EXE"};
const std::vector<std::string> kOnTrial{"TORVIX.EXE", "TORVIX.EXE.previous", "TORVIX.EXE.trial"};
const std::vector<std::string> kRefused{"TORVIX.EXE", "TORVIX.EXE.refused"};

INSTANTIATE_TEST_SUITE_P(
    Kills, ReleaseRecovery,
    ::testing::Values(
        KillCase{"DuringTheDownload", 0, 0, 0, false, "v1", kInstalledOnly, 0, false},
        KillCase{"BeforeTheRename", 1, 0, 0, false, "v2", kOnTrial, 0, false},
        KillCase{"AfterAFailedRename", 1, 0, 0, true, "v1", {"TORVIX.EXE", "TORVIX.EXE.previous"}, 0, false},
        KillCase{"AfterTheInstall", 2, 0, 0, false, "v2", kOnTrial, 0, false},
        KillCase{"AfterTheThirdQuickEnd", 2, 3, 0, false, "v1", kRefused, 1, true},
        KillCase{"AfterTheRefusal", 2, 3, 1, false, "v1", kRefused, 1, true},
        KillCase{"AfterThePreviousWentBack", 2, 3, 2, false, "v1", kRefused, 0, true},
        KillCase{"AFailedRenameKeepsAnOlderRefusal",
                 1,
                 0,
                 0,
                 true,
                 "v1",
                 {"TORVIX.EXE", "TORVIX.EXE.previous", "TORVIX.EXE.refused"},
                 0,
                 false,
                 true},
        KillCase{"AnInstallEndsAnOlderRefusal", 2, 0, 0, false, "v2", kOnTrial, 0, false, true}),
    [](const ::testing::TestParamInfo<KillCase>& p) { return std::string(p.param.name); });
}  // namespace
