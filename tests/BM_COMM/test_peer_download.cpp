// Downloads from the real gateway peer: whole-file replies, a large file in pieces, and every
// fault switch of the peer ending in a failed (never a hung or corrupted) download.
#include <gtest/gtest.h>

#include <chrono>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/downloader.h"
#include "COMMON/BM_OS/bmclock.h"
#include "tests/BM_COMM/support_comm.h"
#include "tests/BM_COMM/support_peer.h"
#include "tests/support/scratch_dir.h"

namespace {

using namespace peertest;

using SteadyClock = std::chrono::steady_clock;

// Records progress; gives up (cancels) after `guardMs` of real time so that a download that
// never ends cannot hang the suite. `guardTripped` tells whether that happened.
class Progress : public DownloadProgress {
public:
    explicit Progress(int guardMs = 20000) : end_(SteadyClock::now() + std::chrono::milliseconds(guardMs)) {}
    void OnProgress(int32_t received, int32_t total) override { calls.emplace_back(received, total); }
    bool IsCancelled() override {
        guardTripped = guardTripped || SteadyClock::now() >= end_;
        return guardTripped;
    }
    std::vector<std::pair<int32_t, int32_t>> calls;
    bool guardTripped = false;

private:
    SteadyClock::time_point end_;
};

class PeerDownload : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.Path().empty()); }

    // Starts the peer serving `source` with `args` and connects a fresh client.
    void Connect(const std::string& source, std::vector<std::string> args) {
        args.insert(args.end(), {"--file", source});
        ASSERT_TRUE(peer_.Start(discovery_.Port(), std::move(args))) << peer_.Transcript();
        client_ = std::make_unique<BmServer>();
        client_->Start();
        ASSERT_TRUE(PollUntilConnected(*client_)) << peer_.Transcript();
    }

    // One download into `dest_`.
    bool Download(Progress& progress, Downloader::DownloadState* state = nullptr) {
        Downloader downloader(*client_, &progress, BmString(dest_.c_str()));
        std::unique_ptr<BmMsg> request = DownloadRequest(downloader.ListenerId());
        const bool ok = downloader.Run(request.get());
        if (state != nullptr) {
            *state = downloader.State();
        }
        EXPECT_FALSE(progress.guardTripped) << "the download never ended\n" << peer_.Transcript();
        return ok;
    }

    ScratchDir dir_;
    PrivateDiscovery discovery_;
    SimPeer peer_;
    std::unique_ptr<BmServer> client_;
    std::string source_ = dir_.File("served.bin");
    std::string dest_ = dir_.File("received.bin");
};

TEST_F(PeerDownload, WholeFileRepliesOfEveryKind) {
    ASSERT_TRUE(WriteRandomFile(source_, 300001, 7));
    for (const char* id : {"8131", "8132", "8149"}) {
        SimPeer peer;
        ASSERT_TRUE(peer.Start(discovery_.Port(), {"--file", source_, "--file-msg-id", id}));
        BmServer client;
        client.Start();
        ASSERT_TRUE(PollUntilConnected(client));
        Progress progress;
        Downloader downloader(client, &progress, BmString(dest_.c_str()));
        std::unique_ptr<BmMsg> request = DownloadRequest(downloader.ListenerId(), 2, 1);
        EXPECT_TRUE(downloader.Run(request.get())) << id << "\n" << peer.Transcript();
        EXPECT_TRUE(SameFileContents(source_, dest_)) << id;
        EXPECT_TRUE(peer.Saw("FILE_WHOLE rid=" + std::to_string(downloader.ListenerId()) + " id=" + id));
        EXPECT_TRUE(peer.Saw("DOWNLOAD_REQUEST rid=" + std::to_string(downloader.ListenerId()) +
                             " screen=2 client=2 c706=706 dev=1"));
        // Progress of a whole-file reply comes from its arrival: ends at the declared length.
        ASSERT_FALSE(progress.calls.empty()) << id;
        EXPECT_EQ(progress.calls.back().second, 300001 / 4 * 4 + 4 + 4) << id;
        peer.Kill();
    }
}

TEST_F(PeerDownload, FilesAroundTheMessageLimitArrive) {
    // 999984 bytes: the largest whole-file message (999996 bytes); 999988 bytes need pieces.
    for (const auto& [size, how] :
         {std::pair<uint32_t, const char*>{999984, "FILE_WHOLE "}, {999988, "PIECES "}}) {
        ASSERT_TRUE(WriteRandomFile(source_, size, size));
        SimPeer peer;
        ASSERT_TRUE(peer.Start(discovery_.Port(), {"--file", source_}));
        BmServer client;
        client.Start();
        ASSERT_TRUE(PollUntilConnected(client));
        Progress progress;
        Downloader downloader(client, &progress, BmString(dest_.c_str()));
        std::unique_ptr<BmMsg> request = DownloadRequest(downloader.ListenerId());
        EXPECT_TRUE(downloader.Run(request.get())) << size << "\n" << peer.Transcript();
        EXPECT_TRUE(SameFileContents(source_, dest_)) << size;
        EXPECT_TRUE(peer.Saw(how)) << size;
    }
}

TEST_F(PeerDownload, AnEmptyFileArrivesAsAnEmptyFile) {
    ASSERT_TRUE(WriteRandomFile(source_, 0, 1));
    Connect(source_, {});
    Progress progress;
    EXPECT_TRUE(Download(progress));
    EXPECT_TRUE(FileExists(dest_));
    EXPECT_TRUE(SameFileContents(source_, dest_));
}

TEST_F(PeerDownload, AHundredMegabytesInPiecesArriveByteIdentical) {
    constexpr uint32_t kSize = 100u << 20;
    constexpr uint32_t kPiece = 524288;
    ASSERT_TRUE(WriteRandomFile(source_, kSize, 99));
    Connect(source_, {"--piece-size", std::to_string(kPiece)});
    Progress progress(60000);
    EXPECT_TRUE(Download(progress)) << peer_.Transcript();
    EXPECT_TRUE(SameFileContents(source_, dest_));
    // One report before each piece, with the bytes held before it.
    ASSERT_EQ(progress.calls.size(), kSize / kPiece);
    EXPECT_EQ(progress.calls.front(), std::make_pair(0, static_cast<int32_t>(kSize)));
    EXPECT_EQ(progress.calls.back(),
              std::make_pair(static_cast<int32_t>(kSize - kPiece), static_cast<int32_t>(kSize)));
    EXPECT_TRUE(peer_.Saw("DOWNLOAD_DONE rid="));
    EXPECT_TRUE(client_->IsConnected());
}

TEST_F(PeerDownload, AChangingTotalIsReportedAndTheFirstTotalKept) {
    ASSERT_TRUE(WriteRandomFile(source_, 10000, 3));
    Connect(source_, {"--pieces", "--piece-size", "4000", "--changing-total"});
    GlobalClient global(*client_);
    AssertionCounter assertions;
    Progress progress;
    EXPECT_TRUE(Download(progress));
    EXPECT_TRUE(SameFileContents(source_, dest_));
    EXPECT_EQ(assertions.Count(), 2);  // the second and the third piece
    EXPECT_NE(peer_.Line("EVENT_REPORT ").find("downloader.cpp(line "), std::string::npos)
        << peer_.Transcript();
}

struct DownloadFault {
    const char* name;
    std::vector<std::string> args;
    bool linkSurvives;
    uint32_t fileSize = 3000000;  // in pieces; below 999988 bytes it goes whole
};

void PrintTo(const DownloadFault& fault, std::ostream* os) {
    *os << fault.name;
}

class PeerDownloadFault : public PeerDownload, public ::testing::WithParamInterface<DownloadFault> {};

TEST_P(PeerDownloadFault, EndsAsAFailedDownloadWithoutAFile) {
    ASSERT_TRUE(WriteRandomFile(source_, GetParam().fileSize, 5));
    Connect(source_, GetParam().args);
    Progress progress(10000);
    Downloader::DownloadState state = Downloader::InProgress;
    const auto start = SteadyClock::now();
    EXPECT_FALSE(Download(progress, &state));
    EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(FileExists(dest_)) << peer_.Transcript();
    EXPECT_EQ(client_->IsConnected(), GetParam().linkSurvives) << peer_.Transcript();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, PeerDownloadFault,
    ::testing::Values(DownloadFault{"CloseMidPieces", {"--close-after", "1500000"}, false},
                      DownloadFault{"CloseInTheHeader", {"--close-after", "4", "--idle-ms", "0"}, false},
                      DownloadFault{"WrongMessageId", {"--wrong-msg-id", "8200"}, true},
                      DownloadFault{"WrongIdWhole", {"--wrong-msg-id", "8133"}, true, 3000},
                      DownloadFault{"LastPieceOverruns", {"--piece-extra", "8"}, true},
                      DownloadFault{"WholeSizeBeyondPayload", {"--declared-size", "900000"}, true, 3000},
                      DownloadFault{"OversizedHeader", {"--oversized-header"}, false},
                      DownloadFault{"Garbage", {"--garbage", "4096"}, false}),
    [](const ::testing::TestParamInfo<DownloadFault>& p) { return std::string(p.param.name); });

TEST_F(PeerDownload, AStalledPeerEndsTheDownloadAfterTheIdleLimit) {
    ASSERT_TRUE(WriteRandomFile(source_, 1000, 1));
    Connect(source_, {"--stall"});
    ScopedManualClock clock(GetTickCount());
    clock->SetAutoAdvance(200);
    Progress progress(5000);
    EXPECT_FALSE(Download(progress));
    EXPECT_FALSE(FileExists(dest_));
    EXPECT_TRUE(client_->IsConnected());  // the time-out leaves the connection open
}

TEST_F(PeerDownload, ASlowWholeFileWhoseBytesKeepComingIsNotCutOff) {
    ASSERT_TRUE(WriteRandomFile(source_, 24000, 2));
    Connect(source_, {"--trickle", "2000/50", "--idle-ms", "0"});
    ScopedManualClock clock(GetTickCount());
    clock->SetAutoAdvance(1000);  // far more than 15 s pass on the client's clock
    const uint32_t before = clock->Now();
    Progress progress;
    EXPECT_TRUE(Download(progress)) << peer_.Transcript();
    EXPECT_GT(clock->Now() - before, 15000u);
    EXPECT_TRUE(SameFileContents(source_, dest_));
}

TEST_F(PeerDownload, AWholeFileReplyThatStopsHalfwayEndsAfterTheIdleLimit) {
    // A header for 5000 bytes, 64 of them, then silence.
    ASSERT_TRUE(WriteRandomFile(source_, 1000, 1));
    Connect(source_, {"--oversized-header=5000", "--fault-on", "download", "--idle-ms", "0"});
    ScopedManualClock clock(GetTickCount());
    clock->SetAutoAdvance(200);
    Progress progress(3000);
    EXPECT_FALSE(Download(progress));
    EXPECT_FALSE(FileExists(dest_));
}

TEST_F(PeerDownload, PiecesForAnotherListenerAreNotSeen) {
    ASSERT_TRUE(WriteRandomFile(source_, 1000, 1));
    Connect(source_, {"--reply-rid", "77", "--pieces", "--idle-ms", "0"});
    ScopedManualClock clock(GetTickCount());
    clock->SetAutoAdvance(200);
    Progress progress(5000);
    EXPECT_FALSE(Download(progress));
    EXPECT_TRUE(progress.calls.empty());
    EXPECT_FALSE(FileExists(dest_));
    EXPECT_EQ(client_->PendingCount(), 1u);  // set aside for a listener 77 that never polls
}

}  // namespace
