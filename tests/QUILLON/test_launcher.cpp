// The launcher core without a window: the version check's decision table, the running-state
// pass, the menu's commands and the hold after a start, with a fake tablet, a recording view and
// the manual clock; the loop's wait over its sources; the install steps on real files.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_SIGN/payloadhasher.h"
#include "QUILLON/commandids.h"
#include "QUILLON/eventloop.h"
#include "QUILLON/installer.h"
#include "QUILLON/launcher.h"
#include "QUILLON/launcherview.h"
#include "QUILLON/releasefiles.h"
#include "QUILLON/releasekeeper.h"
#include "QUILLON/restartbackoff.h"
#include "QUILLON/torvix.h"
#include "tests/QUILLON/support_window.h"
#include "tests/support/env_guard.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"

namespace {
using Lines = std::vector<std::string>;

// A view that only records what the core asked of it.
class RecordingView final : public LauncherView {
public:
    Lines lines;
    int shown = -1;  // -1: never asked
    int rebuilds = 0;
    int exits = 0;
    void ShowStatus(BmString text) override { lines.push_back(TextOf(text)); }
    void ShowLauncher(bool on) override { shown = on ? 1 : 0; }
    void RebuildInfoPanel() override { ++rebuilds; }
    void ShowDownloadProgress(int32_t, int32_t) override {}
    bool RequestExit() override {
        ++exits;
        return true;
    }
};

class Core : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        mkdir(dir_.File("root").c_str(), 0755);
        core_.SetView(&view_);
        core_.SetTabletOps(&tablet_);
    }
    ScratchDir dir_;
    EnvGuard root_{"QUILLON_ROOT", dir_.File("root")};
    ScopedManualClock clock_{5000};
    Launcher core_{nullptr};
    RecordingView view_;
    FakeTablet tablet_;
};

TEST_F(Core, VersionCheckDecisionTable) {
    struct Case {
        const char* name;
        bool haveLocal, haveGateway;
        const char* gateway;  // the installed version is 1.2.3.4
        bool downloadOk;
        bool downloadPaused;
        Lines lines;
        int downloads;
        size_t launches;
        bool checkAgainNow;
        const char* refused = nullptr;        // the release rolled back earlier (TORVIX.EXE.refused)
        const char* rollback = "1";           // QUILLON_ROLLBACK
        const char* downloadError = nullptr;  // the failed download's cause (nullptr: the fake's)
    };
    const char* kAsked = "Getting Version Info...";
    const char* kGot = "Got Version Info OK";
    const Case cases[] = {
        {"no versions at all", false, false, "1.2.3.4", true, false, {kAsked}, 0, 0, false},
        {"the gateway does not answer",
         true,
         false,
         "1.2.3.4",
         true,
         false,
         {kAsked, "Error Getting Version Info From Gateway..."},
         0,
         0,
         false},
        {"missing, loaded",
         false,
         true,
         "1.2.3.4",
         true,
         false,
         {kAsked, "Torvix missing: loading...", "Torvix Loaded OK"},
         1,
         0,
         true},
        {"missing, load failed",
         false,
         true,
         "1.2.3.4",
         false,
         false,
         {kAsked, "Torvix missing: loading...", "ERROR: Can't load Torvix"},
         1,
         0,
         false},
        {"missing while downloads pause", false, true, "1.2.3.4", true, true, {kAsked}, 0, 0, false},
        {"equal: launch",
         true,
         true,
         "1.2.3.4",
         true,
         false,
         {kAsked, kGot, "OK to start: launching..."},
         0,
         1,
         false},
        {"equal launches even while downloads pause",
         true,
         true,
         "1.2.3.4",
         true,
         true,
         {kAsked, kGot, "OK to start: launching..."},
         0,
         1,
         false},
        {"different: replaced",
         true,
         true,
         "1.2.4.0",
         true,
         false,
         {kAsked, kGot, "Wrong version, loading...", "Success"},
         1,
         0,
         true},
        {"different: replacement failed",
         true,
         true,
         "1.2.4.0",
         false,
         false,
         {kAsked, kGot, "Wrong version, loading...", "Error Loading Torvix"},
         1,
         0,
         false},
        {"same number, other form, is different",
         true,
         true,
         "1.2.3.04",
         true,
         false,
         {kAsked, kGot, "Wrong version, loading...", "Success"},
         1,
         0,
         true},
        {"different while downloads pause", true, true, "1.2.4.0", true, true, {kAsked, kGot}, 0, 0, false},
        {"the refused release offered: the installed one starts",
         true,
         true,
         "1.2.4.0",
         true,
         false,
         {kAsked, kGot,
          "Not taking Torvix 1.2.4.0 again (rolled back: ended 3 times within 10 s): keeping 1.2.3.4",
          "OK to start: launching..."},
         0,
         1,
         false,
         "1.2.4.0"},
        {"another release while one is refused",
         true,
         true,
         "1.2.5.0",
         true,
         false,
         {kAsked, kGot, "Wrong version, loading...", "Success"},
         1,
         0,
         true,
         "1.2.4.0"},
        {"the refused release, nothing installed: loaded",
         false,
         true,
         "1.2.4.0",
         true,
         false,
         {kAsked, "Torvix missing: loading...", "Torvix Loaded OK"},
         1,
         0,
         true,
         "1.2.4.0"},
        {"the refused release with safe updates off",
         true,
         true,
         "1.2.4.0",
         true,
         false,
         {kAsked, kGot, "Wrong version, loading...", "Success"},
         1,
         0,
         true,
         "1.2.4.0",
         "0"},
        // A version refused for its signature leaves the kiosk with the installed one.
        {"different: refused for its signature, the installed one starts",
         true,
         true,
         "1.2.4.0",
         false,
         false,
         {kAsked, kGot, "Wrong version, loading...", "Error Loading Torvix",
          "Update refused: starting the installed version..."},
         1,
         1,
         false,
         nullptr,
         "1",
         "no valid signature: unknown key 5C417BF1985B690E"},
        {"missing: refused for its signature, nothing to start",
         false,
         true,
         "1.2.4.0",
         false,
         false,
         {kAsked, "Torvix missing: loading...", "ERROR: Can't load Torvix"},
         1,
         0,
         false,
         nullptr,
         "1",
         "no valid signature: not signed"},
    };
    const std::string refusedPath = dir_.File("root/TORVIX.EXE.refused");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(refusedPath.c_str());
        if (c.refused != nullptr) {
            ASSERT_TRUE(WriteFile(refusedPath, FormatRefused({c.refused, std::string(64, '0'),
                                                              "ended 3 times within 10 s", 1796850245})));
        }
        EnvGuard rollback("QUILLON_ROLLBACK", c.rollback);
        Launcher core(nullptr);
        FakeTablet tablet;
        RecordingView view;
        core.SetView(&view);
        core.SetTabletOps(&tablet);
        core.Pacing().Reset(RestartBackoff::kFirstPauseMs);
        if (c.downloadPaused) {
            core.Pacing().DownloadDone(false, "earlier", nullptr, GetTickCount());
        }
        tablet.haveLocal = c.haveLocal;
        tablet.local = "1.2.3.4";
        tablet.haveGateway = c.haveGateway;
        tablet.gateway = c.gateway;
        tablet.downloadOk = c.downloadOk;
        if (c.downloadError != nullptr) {
            tablet.downloadError = c.downloadError;
        }
        core.RunVersionCheck();
        Lines lines = view.lines;
        // A failed download's pause line follows its outcome; the decision is the other lines.
        if (!c.downloadOk && c.downloads > 0) {
            const auto pause = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
                return l.rfind("Download failed (", 0) == 0;
            });
            ASSERT_NE(pause, lines.end());
            EXPECT_EQ(*pause, "Download failed (" + tablet.DownloadError() + "): next try in 10 s");
            lines.erase(pause);
        }
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(tablet.downloads, c.downloads);
        EXPECT_EQ(tablet.launches.size(), c.launches);
        EXPECT_EQ(core.CheckAgainNow(), c.checkAgainNow);
        EXPECT_EQ(view.rebuilds, 1);
        EXPECT_EQ(TextOf(core.localVersion), c.haveLocal ? "1.2.3.4" : "UNKNOWN");
        EXPECT_EQ(TextOf(core.gatewayVersion), c.haveGateway ? c.gateway : "UNKNOWN");
        if (c.downloadError != nullptr && c.haveLocal) {
            // While downloads pause, the next check starts the installed version without one; a
            // new version on the gateway is tried again instead.
            view.lines.clear();
            core.RunVersionCheck();
            EXPECT_EQ(view.lines, Lines({kAsked, kGot, "Update refused: starting the installed version..."}));
            tablet.gateway = "1.2.5.0";
            view.lines.clear();
            core.RunVersionCheck();
            EXPECT_EQ(view.lines, Lines({kAsked, kGot}));
            EXPECT_EQ(tablet.downloads, 1);
            EXPECT_EQ(tablet.launches.size(), 2u);
        }
    }
}

TEST_F(Core, RunningStatePassHidesShowsAndReevaluatesEveryFiveSeconds) {
    tablet_.running = true;
    EXPECT_TRUE(core_.RunChecks());
    EXPECT_EQ(view_.shown, 0);
    EXPECT_EQ(core_.appRunning, 1);
    // The shutdown mutex was never opened: it cannot be taken, so monitoring stops.
    EXPECT_EQ(view_.lines, (Lines{"Hiding QUILLON", "ShutdownMutex"}));
    EXPECT_EQ(core_.monitorMode, 0);
    EXPECT_EQ(core_.MsUntilReevaluation(GetTickCount()), kWaitForever);

    tablet_.running = false;
    EXPECT_FALSE(core_.RunChecks());
    EXPECT_EQ(view_.shown, 1);
    EXPECT_EQ(view_.lines.back(), "Restoring QUILLON");
    const int rebuilds = view_.rebuilds;
    EXPECT_EQ(core_.MsUntilReevaluation(GetTickCount()), Launcher::kReevaluateMs + 1);
    clock_->Advance(Launcher::kReevaluateMs);
    core_.RunChecks();
    EXPECT_EQ(view_.rebuilds, rebuilds);  // not yet due
    clock_->Advance(1);
    EXPECT_EQ(core_.MsUntilReevaluation(GetTickCount()), 0u);
    core_.RunChecks();
    EXPECT_EQ(view_.rebuilds, rebuilds + 1);
    EXPECT_EQ(view_.lines.back(), "Restoring QUILLON");  // no change, no line
}

TEST_F(Core, MenuCommands) {
    struct Case {
        uint64_t id;
        int monitorMode, devMode, exits, downloads;
        std::vector<bool> launches;
        Lines lines;
    };
    const Case cases[] = {
        {IDM_MONITOR_MODE, 0, 0, 0, 0, {}, {}},
        {IDM_STARTUP_DEFAULTS, 1, 0, 0, 0, {}, {"Startup Defaults"}},
        {IDM_GET_TORVIX, 1, 0, 0, 1, {}, {}},
        {IDM_START_TORVIX, 1, 0, 0, 0, {false}, {}},
        {IDM_START_TORVIX_REMOTE, 1, 0, 0, 0, {true}, {}},
        {IDM_DEV_MODE, 1, 1, 0, 0, {}, {}},
        {IDM_EXIT, 1, 0, 1, 0, {}, {}},
        {(uint64_t{1} << 32) | IDM_EXIT, 1, 0, 0, 0, {}, {}},  // no command of ours
        {IDM_RESTART_NETWORK, 1, 0, 0, 0, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Launcher core(nullptr);
        FakeTablet tablet;
        RecordingView view;
        core.SetView(&view);
        core.SetTabletOps(&tablet);
        core.RunCommand(c.id);
        EXPECT_EQ(core.monitorMode, c.monitorMode);
        EXPECT_EQ(core.devMode, c.devMode);
        EXPECT_EQ(view.exits, c.exits);
        EXPECT_EQ(tablet.downloads, c.downloads);
        EXPECT_EQ(tablet.launches, c.launches);
        EXPECT_EQ(view.lines, c.lines);
        if (c.id == IDM_DEV_MODE) {
            EXPECT_EQ(Launcher(nullptr).devMode, 1) << "dev mode is kept in the device data file";
            core.RunCommand(IDM_DEV_MODE);
        }
    }
}

TEST_F(Core, AStartHoldsTheChecksForTheLaunchPause) {
    EXPECT_EQ(core_.ChecksHeldMs(), 0u);
    core_.TabletStarted(-1);  // not a real child: nothing is tracked
    EXPECT_EQ(core_.Children().Tracked(), 0u);
    EXPECT_EQ(core_.ChecksHeldMs(), LaunchPauseMs());
    clock_->Advance(LaunchPauseMs());
    EXPECT_EQ(core_.ChecksHeldMs(), 0u);
    // Without a view nothing is shown and the checks that need one are skipped.
    core_.SetView(nullptr);
    core_.RunCommand(IDM_STARTUP_DEFAULTS);
    EXPECT_TRUE(view_.lines.empty());
}

TEST_F(Core, TheCoresTimedStepsSetTheLoopsWait) {
    EventLoop& loop = core_.Loop();
    const auto wait = [&] { return loop.NextWaitMs(GetTickCount()); };
    EXPECT_EQ(wait(), kWaitForever) << "running state not known yet";
    core_.appRunning = 0;
    EXPECT_EQ(wait(), Launcher::kReevaluateMs + 1);
    clock_->Advance(2000);
    EXPECT_EQ(wait(), Launcher::kReevaluateMs + 1 - 2000);
    core_.Pacing().Reset(RestartBackoff::kFirstPauseMs);
    core_.Pacing().DownloadDone(false, "", nullptr, GetTickCount());
    EXPECT_EQ(wait(), Launcher::kPauseRecheckMs);
    // A hold silences every other step until it ends.
    core_.HoldChecks(4000);
    EXPECT_EQ(wait(), 4000u);
    clock_->Advance(4000);
    EXPECT_EQ(wait(), 0u) << "the re-evaluation is overdue";
    core_.appRunning = 1;
    EXPECT_EQ(wait(), kWaitForever) << "while it runs only events bring work";
    // A version check that installed a new version: the next pass follows at once.
    clock_->Advance(RestartBackoff::kFirstPauseMs);
    tablet_.haveGateway = true;
    core_.RunVersionCheck();
    ASSERT_TRUE(core_.CheckAgainNow());
    EXPECT_EQ(wait(), 0u);
}

// A source with a fixed deadline that counts how often it was told of a wait.
class FixedSource final : public LoopSource {
public:
    explicit FixedSource(uint32_t due) : due_(due) {}
    uint32_t MsUntilDue(uint32_t) override { return due_; }
    void AfterWait(const std::vector<pollfd>&) override { ++waits; }
    int waits = 0;

private:
    uint32_t due_;
};

TEST(EventLoopWait, TheWaitIsTheNearestDeadlineOfAllSources) {
    ScopedManualClock clock(100);
    EventLoop loop;
    EXPECT_EQ(loop.NextWaitMs(0), kWaitForever);
    FixedSource far(700);
    FixedSource never(kWaitForever);
    loop.Add(&far);
    loop.Add(&never);
    loop.Add(&far);  // once only
    EXPECT_EQ(loop.NextWaitMs(0), 700u);
    loop.AddTimedStep([](uint32_t now) { return now < 50 ? 50 - now : kWaitForever; });
    EXPECT_EQ(loop.NextWaitMs(20), 30u);
    EXPECT_EQ(loop.NextWaitMs(60), 700u);
    loop.Wait(0);
    EXPECT_EQ(far.waits, 1);
    EXPECT_EQ(never.waits, 1);
    loop.Remove(&far);
    EXPECT_EQ(loop.NextWaitMs(60), kWaitForever);
}

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Installer, EachStepRefusesWhatItMustAndTheOldFileStays) {
    struct Case {
        const char* name;
        const char* part;  // nullptr: no part file
        bool folderGone;   // the target's folder is missing
        bool ok;
        std::string cause;               // its start, after the scratch folder
        bool safe = false;               // a keeper of safe updates for the target is in force
        bool trialBlocked = false;       // the trial record cannot be written
        bool checking = false;           // trusted keys (here none could be loaded: all is refused)
        const char* streamed = nullptr;  // the bytes hashed during the download (nullptr: none)
    };
    const char* const kMagic = kSignatureMagic.data();
    const Case cases[] = {
        {"a whole file replaces the old one", "new", false, true, ""},
        {"an empty file is refused", "", false, false, "zero-byte file"},
        {"no part file at all", nullptr, false, false, "/TORVIX.EXE.download: No such file"},
        {"the rename fails", "new", true, false, "/gone/TORVIX.EXE: No such file"},
        {"safe: the old file is kept and the new one on trial", "new", false, true, "", true},
        {"safe: no trial record, no install", "new", false, false, "/TORVIX.EXE.trial.tmp: Is a directory",
         true, true},
        {"with checking on, an unsigned file is refused", "new", false, false,
         "no valid signature: not signed", false, false, true},
        {"the signature is checked after the size", "", false, false, "zero-byte file", false, false, true},
        {"safe and checking: a refused file starts no trial", "new", false, false,
         "no valid signature: not signed", true, false, true},
        {"checking: the hash taken while downloading stands for a file of its size",
         "xxxxxxxxxxxxxxxxxxxxxxxxxxxxx", false, false,
         "no valid signature: bad trailer: no signature length", false, false, true, kMagic},
        {"checking: a hash over another size is not used", "new", false, false,
         "no valid signature: not signed", false, false, true, kMagic},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const std::string part = dir.File("TORVIX.EXE.download");
        const std::string target = dir.File(c.folderGone ? "gone/TORVIX.EXE" : "TORVIX.EXE");
        std::ofstream(dir.File("TORVIX.EXE")) << "old";
        if (c.part != nullptr) {
            std::ofstream(part) << c.part;
        }
        if (c.trialBlocked) {
            mkdir(dir.File("TORVIX.EXE.trial.tmp").c_str(), 0755);
        }
        ReleaseKeeper keeper(target, true);
        UpdateTrust trust;
        std::string cause;
        if (c.checking) {
            std::ofstream(dir.File("broken.pub")) << "not a key";
            EXPECT_FALSE(trust.Load(dir.Path(), &cause));
            ASSERT_TRUE(trust.CheckingOn());
        }
        PayloadHasher hasher;
        if (c.streamed != nullptr) {
            hasher.Update(reinterpret_cast<const uint8_t*>(c.streamed), std::strlen(c.streamed));
        }
        const StreamedPayload streamed = hasher.Finish();
        EXPECT_EQ(
            InstallDownloadedFile(part, target, &cause,
                                  {&trust, c.streamed ? &streamed : nullptr, c.safe ? &keeper : nullptr}),
            c.ok);
        EXPECT_EQ(access(dir.File("TORVIX.EXE.trial").c_str(), F_OK) == 0, c.safe && c.ok);
        if (c.ok) {
            EXPECT_EQ(Contents(target), "new");
            EXPECT_NE(access(part.c_str(), F_OK), 0);
            EXPECT_EQ(Contents(dir.File("TORVIX.EXE.previous")), c.safe ? "old" : "");
        } else {
            EXPECT_EQ(Contents(dir.File("TORVIX.EXE")), "old");
            const std::string expected = c.cause[0] == '/' ? dir.Path() + c.cause : c.cause;
            EXPECT_EQ(cause.rfind(expected, 0), 0u) << cause;
        }
    }
    std::string cause;
    EXPECT_FALSE(SyncFolderOf("/nonexistent-folder/TORVIX.EXE", &cause));
    EXPECT_EQ(cause.rfind("/nonexistent-folder: ", 0), 0u) << cause;
}
}  // namespace
