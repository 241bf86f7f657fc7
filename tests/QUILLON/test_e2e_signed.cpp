// Signed updates through the real launcher and the gateway peer: what a trusted key signed is
// installed and started; anything else is refused, reported to the gateway, and the installed
// version keeps running; without keys nothing changes; an installed file changed afterwards is
// not started but downloaded again.
#include <gtest/gtest.h>

#include "QUILLON/commandids.h"
#include "tests/QUILLON/support_launcher.h"
#include "tests/support/wait_until.h"

namespace {
constexpr int kStepMs = 15000;
constexpr size_t kMagicBytes = 29;

std::string NoKeysNote(const LauncherWorld& world) {
    return "quillon: no trusted keys in " + world.TrustedKeysDir() + ": updates are installed unchecked";
}

// The sample application wrote `line` into its log (it does so just after its start).
bool AppLogged(const LauncherWorld& world, const std::string& line) {
    return WaitUntil([&] { return world.AppLog().find(line) != std::string::npos; }, kStepMs);
}

struct Offer {
    const char* name;
    std::string key;  // "" : unsigned
    LauncherWorld::Damage damage;
    std::string why;  // "" : accepted; else the refusal's cause after "no valid signature: "
};

TEST(LauncherSignedUpdate, OnlyWhatATrustedKeySignedIsInstalled) {
    auto flipPayloadByte = [](std::string& b) { b[b.size() / 3] ^= 0x01; };
    auto cutTrailer = [](std::string& b) { b.resize(b.size() - kMagicBytes / 2); };
    const std::vector<Offer> offers = {
        {"signed by the trusted key", "trusted", {}, ""},
        {"unsigned", "", {}, "not signed"},
        {"signed by another key", "other", {}, "unknown key <other>"},
        {"one flipped payload byte", "trusted", flipPayloadByte, "signature does not verify"},
        {"a cut trailer", "trusted", cutTrailer, "not signed"},
    };
    for (const Offer& offer : offers) {
        SCOPED_TRACE(offer.name);
        LauncherWorld world;
        ASSERT_TRUE(world.Ready() && world.MakeKeys());
        ASSERT_TRUE(world.InstallLocalSigned("1.0.0.1", "trusted"));
        const std::string installed = ReadFile(world.Root() + "/TORVIX.EXE");
        ASSERT_TRUE(world.PublishSigned("2.0.0.0", offer.key, offer.damage));
        ASSERT_TRUE(world.StartGateway());
        ASSERT_TRUE(world.StartLauncher({}, {"QUILLON_BACKOFF_MS=1000"}));

        if (offer.why.empty()) {
            ASSERT_TRUE(world.WaitSequence(
                {"Wrong version, loading...", "Download Sucess", "Success", "OK to start: launching..."},
                kStepMs))
                << world.Transcript();
            ASSERT_TRUE(world.WaitTabletCount(1, kStepMs));
            EXPECT_TRUE(SameFileContents(world.ServedFile(), world.Root() + "/TORVIX.EXE"));
            EXPECT_TRUE(AppLogged(world, "demo-app 2.0.0.0 started")) << world.AppLog();
            EXPECT_EQ(world.Gateway().CountLines("EVENT_REPORT"), 0u);
        } else {
            std::string why = offer.why;
            if (why == "unknown key <other>") {
                why = "unknown key " + world.KeyId("other");
            }
            const std::string cause = "no valid signature: " + why;
            auto refused = world.WaitSequence(
                {"Wrong version, loading...", "ERROR: Could not Download new EXE", "Error Loading Torvix",
                 "Download failed (" + cause + "): next try in 1 s",
                 "Update refused: starting the installed version..."},
                kStepMs);
            ASSERT_TRUE(refused) << world.Transcript();
            EXPECT_TRUE(world.WaitStatus("Download failed: " + cause, 1000)) << world.Transcript();
            // The installed version runs, untouched, and the gateway hears why the update was not.
            ASSERT_TRUE(world.WaitTabletCount(1, kStepMs)) << world.Transcript();
            EXPECT_TRUE(AppLogged(world, "demo-app 1.0.0.1 started")) << world.AppLog();
            EXPECT_TRUE(world.Gateway().WaitForLine(
                "EVENT_REPORT \"Update to 2.0.0.0 refused: " + cause + "\"", kStepMs))
                << world.Gateway().Transcript();
            EXPECT_EQ(world.Gateway().CountLines("EVENT_REPORT"), 1u) << world.Gateway().Transcript();
            EXPECT_EQ(ReadFile(world.Root() + "/TORVIX.EXE"), installed);
        }
        // No temporary file; a refused file starts no trial and keeps no previous version.
        const std::vector<std::string> names =
            offer.why.empty()
                ? std::vector<std::string>{"TORVIX.EXE", "TORVIX.EXE.previous", "TORVIX.EXE.trial"}
                : std::vector<std::string>{"TORVIX.EXE"};
        EXPECT_EQ(NamesIn(world.Root()), names);
        EXPECT_EQ(world.CountStatus(NoKeysNote(world)), 0u);
    }
}

TEST(LauncherSignedUpdate, WithoutKeysUnsignedUpdatesInstallAsBefore) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready());
    ASSERT_TRUE(world.InstallLocal("1.0.0.1"));
    ASSERT_TRUE(world.Publish("2.0.0.0"));
    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.WaitStatus(NoKeysNote(world), kStepMs)) << world.Transcript();
    ASSERT_TRUE(
        world.WaitSequence({"Wrong version, loading...", "Success", "OK to start: launching..."}, kStepMs))
        << world.Transcript();
    ASSERT_TRUE(world.WaitTabletCount(1, kStepMs));
    EXPECT_TRUE(AppLogged(world, "demo-app 2.0.0.0 started")) << world.AppLog();
    EXPECT_EQ(world.CountStatus(NoKeysNote(world)), 1u);
}

TEST(LauncherSignedUpdate, AnInstalledFileChangedAfterItsInstallIsNotStartedButLoadedAgain) {
    LauncherWorld world;
    ASSERT_TRUE(world.Ready() && world.MakeKeys());
    // The payload of another version under the signature of 1.0.0.1: it would run, and show it.
    const std::string other = world.Dir() + "/other.bin";
    ASSERT_TRUE(LauncherWorld::MakeStampedApp(other, "1.0.0.9"));
    const std::string otherPayload = ReadFile(other);
    ASSERT_TRUE(world.InstallLocalSigned("1.0.0.1", "trusted", [&](std::string& b) {
        ASSERT_GT(b.size(), otherPayload.size());
        b.replace(0, otherPayload.size(), otherPayload);
    }));
    ASSERT_TRUE(world.PublishSigned("1.0.0.1", "trusted"));
    ASSERT_TRUE(world.StartGateway());
    ASSERT_TRUE(world.StartLauncher());
    ASSERT_TRUE(world.WaitSequence(
        {"No local version: loading...", "Torvix Loaded OK", "TORVIX.EXE Started OK"}, kStepMs))
        << world.Transcript();
    ASSERT_TRUE(world.WaitTabletCount(1, kStepMs));
    EXPECT_TRUE(SameFileContents(world.ServedFile(), world.Root() + "/TORVIX.EXE"));
    EXPECT_TRUE(AppLogged(world, "demo-app 1.0.0.1 started")) << world.AppLog();
    EXPECT_EQ(world.AppLog().find("1.0.0.9"), std::string::npos) << world.AppLog();

    // Changed again while the launcher runs, with no gateway to load it from: the menu's start
    // checks the file and refuses it.
    world.KillGateway();
    world.StopTabletApps();
    ASSERT_TRUE(world.WaitTabletCount(0, kStepMs));
    ASSERT_TRUE(
        world.InstallLocalSigned("1.0.0.1", "trusted", [](std::string& b) { b[b.size() / 2] ^= 0x01; }));
    ASSERT_TRUE(world.PostCommand(IDM_START_TORVIX));
    EXPECT_TRUE(
        world.WaitStatus("TORVIX.EXE not started (no valid signature: signature does not verify)", kStepMs))
        << world.Transcript();
    EXPECT_TRUE(world.TabletPids().empty());
}
}  // namespace
