// quillon-sign and stamp-version on real signed copies of the sample application: what each
// command writes, says and exits with.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "COMMON/BM_OS/fileversion.h"
#include "tests/support/files.h"
#include "tests/support/minisign_kit.h"
#include "tests/support/peer_process.h"
#include "tests/support/scratch_dir.h"

namespace {
struct Outcome {
    int exitCode = -1;
    std::string output;  // standard output and error
};

Outcome RunTool(const std::string& program, const std::vector<std::string>& args) {
    PeerProcess::Options options;
    options.args = args;
    options.mergeStderr = true;
    PeerProcess process;
    Outcome outcome;
    if (!process.Start(program, options)) {
        return outcome;
    }
    const auto status = process.WaitExit(10000);
    if (status && WIFEXITED(*status)) {
        outcome.exitCode = WEXITSTATUS(*status);
    }
    // No line starts with a line feed: this returns once the whole output has been read.
    process.WaitForLine("\n", 5000);
    outcome.output = process.Transcript();
    return outcome;
}

std::string Version(const std::string& path) {
    uint16_t v[4];
    return ReadFileVersion(path, v) ? std::to_string(v[0]) + "." + std::to_string(v[1]) + "." +
                                          std::to_string(v[2]) + "." + std::to_string(v[3])
                                    : "none";
}

class SignToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(MinisignKit::Program().empty()) << "minisign is not installed (scripts/deps)";
        ASSERT_TRUE(kit_.MakeKey("trusted") && kit_.MakeKey("other"));
        ASSERT_TRUE(mkdir(dir_.File("keys").c_str(), 0700) == 0 &&
                    CopyFile(kit_.PublicKey("trusted"), dir_.File("keys/trusted.pub"), 0644));
        ASSERT_TRUE(CopyFile(DEMO_APP_BIN, app_) && RunToEnd({STAMP_VERSION_BIN, app_, "1.0.0.1"}) == 0);
        const auto sig = kit_.Sign(app_, "trusted");
        const auto otherSig = kit_.Sign(app_, "other");
        ASSERT_TRUE(sig && otherSig);
        ASSERT_TRUE(WriteFile(dir_.File("app.minisig"), *sig) &&
                    WriteFile(dir_.File("other.minisig"), *otherSig));
        ASSERT_TRUE(WriteSignedFile(dir_.File("by-other"), ReadFile(app_), *otherSig));
        ASSERT_TRUE(WriteFile(dir_.File("bad.pub"), "untrusted comment: x\nnot a key\n"));
    }

    ScratchDir dir_{"quillon-signtool"};
    MinisignKit kit_{dir_.Path()};
    const std::string app_ = dir_.File("app");
};

TEST_F(SignToolTest, AppendVerifyStripRoundTrip) {
    const std::string signed_ = dir_.File("signed");
    const std::string trusted = kit_.PublicKey("trusted");
    struct Step {
        std::vector<std::string> args;
        int exitCode;
        std::string says;
    };
    const std::vector<Step> steps = {
        {{"append", app_, dir_.File("app.minisig"), "-o", signed_},
         0,
         "signature of key " + kit_.KeyId("trusted") + " appended"},
        {{"verify", signed_, "-p", trusted}, 0, "signed: signature good, key " + kit_.KeyId("trusted")},
        {{"verify", signed_, "-d", dir_.File("keys")}, 0, "signature good"},
        {{"verify", signed_, "-p", kit_.PublicKey("other"), "-p", trusted}, 0, "signature good"},
        {{"verify", app_, "-p", trusted}, 1, "app: no valid signature: not signed"},
        {{"verify", dir_.File("by-other"), "-d", dir_.File("keys")},
         1,
         "by-other: no valid signature: unknown key " + kit_.KeyId("other")},
        {{"verify", signed_, "-p", dir_.File("bad.pub")}, 2, "bad.pub: second line is not base64"},
        {{"verify", signed_, "-d", dir_.File("no-such-folder")}, 2, "no trusted key given"},
        {{"verify", dir_.File("missing"), "-p", trusted}, 1, "missing: No such file or directory"},
        {{"append", signed_, dir_.File("app.minisig"), "-o", dir_.File("twice")},
         1,
         "already carries a signature"},
        {{"append", app_, trusted, "-o", dir_.File("x")}, 1, "not a minisign signature file"},
        {{"strip", app_, "-o", dir_.File("x")}, 1, "app: not signed"},
        {{"strip", signed_, "-o", dir_.File("plain"), "-x", dir_.File("plain.minisig")},
         0,
         "without the signature"},
        {{"append", app_, dir_.File("app.minisig")}, 2, "usage: quillon-sign"},
        {{"verify", signed_}, 2, "usage: quillon-sign"},
        {{"sign", app_, "-o", dir_.File("x")}, 2, "usage: quillon-sign"},
        {{"--help"}, 0, "usage: quillon-sign"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.args[0] + " " + (step.args.size() > 1 ? step.args[1] : ""));
        const Outcome outcome = RunTool(QUILLON_SIGN_BIN, step.args);
        EXPECT_EQ(step.exitCode, outcome.exitCode) << outcome.output;
        EXPECT_NE(std::string::npos, outcome.output.find(step.says)) << outcome.output;
    }
    EXPECT_FALSE(FileExists(dir_.File("x")) || FileExists(dir_.File("twice")));
    // The payload comes back byte for byte, executable, and minisign itself accepts it.
    EXPECT_TRUE(SameFileContents(app_, dir_.File("plain")));
    EXPECT_EQ(ReadFile(dir_.File("app.minisig")), ReadFile(dir_.File("plain.minisig")));
    struct stat st {};
    ASSERT_EQ(0, stat(signed_.c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 0777);
    EXPECT_EQ(0, RunToEnd({MinisignKit::Program(), "-V", "-q", "-m", dir_.File("plain"), "-x",
                           dir_.File("plain.minisig"), "-p", trusted}));
    // OUT may be FILE itself.
    ASSERT_EQ(0, RunTool(QUILLON_SIGN_BIN, {"append", app_, dir_.File("app.minisig"), "-o", app_}).exitCode);
    EXPECT_EQ(0, RunTool(QUILLON_SIGN_BIN, {"verify", app_, "-p", trusted}).exitCode);
    EXPECT_EQ(std::vector<std::string>({"app", "app.minisig", "bad.pub", "by-other", "keys", "other.minisig",
                                        "other.pub", "other.sec", "plain", "plain.minisig", "signed",
                                        "trusted.pub", "trusted.sec"}),
              NamesIn(dir_.Path()))
        << "no temporary file is left";
}

TEST_F(SignToolTest, StampVersionOnSignedAndUnsignedFiles) {
    const std::string signed_ = dir_.File("signed");
    ASSERT_TRUE(WriteSignedFile(signed_, ReadFile(app_), ReadFile(dir_.File("app.minisig"))));
    ASSERT_EQ("1.0.0.1", Version(signed_)) << "the trailer hides no version";

    // A signed file is stamped and loses its signature, which would no longer verify.
    Outcome outcome = RunTool(STAMP_VERSION_BIN, {signed_, "2.0.0.2"});
    EXPECT_EQ(0, outcome.exitCode) << outcome.output;
    EXPECT_NE(std::string::npos, outcome.output.find("appended signature removed")) << outcome.output;
    EXPECT_EQ("2.0.0.2", Version(signed_));
    EXPECT_EQ(ReadFile(app_).size(), ReadFile(signed_).size());
    outcome = RunTool(QUILLON_SIGN_BIN, {"verify", signed_, "-p", kit_.PublicKey("trusted")});
    EXPECT_NE(std::string::npos, outcome.output.find("not signed")) << outcome.output;

    // Stamp first, then sign: the stamped file signs and verifies.
    const auto sig = kit_.Sign(signed_, "trusted");
    ASSERT_TRUE(sig && WriteFile(dir_.File("new.minisig"), *sig));
    ASSERT_EQ(
        0, RunTool(QUILLON_SIGN_BIN, {"append", signed_, dir_.File("new.minisig"), "-o", signed_}).exitCode);
    EXPECT_EQ(0, RunTool(QUILLON_SIGN_BIN, {"verify", signed_, "-p", kit_.PublicKey("trusted")}).exitCode);
    EXPECT_EQ("2.0.0.2", Version(signed_));

    // A damaged trailer is left alone.
    const std::string damaged = dir_.File("damaged");
    const std::string damagedBytes = ReadFile(app_) + SignedTrailer("x", 0);
    ASSERT_TRUE(WriteFile(damaged, damagedBytes));
    outcome = RunTool(STAMP_VERSION_BIN, {damaged, "3.0.0.3"});
    EXPECT_EQ(1, outcome.exitCode);
    EXPECT_NE(std::string::npos,
              outcome.output.find("damaged signature trailer (bad trailer: signature length 0)"))
        << outcome.output;
    EXPECT_EQ(damagedBytes, ReadFile(damaged));
}
}  // namespace
