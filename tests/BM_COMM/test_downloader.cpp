#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/downloader.h"
#include "COMMON/BM_OS/bmclock.h"
#include "tests/BM_COMM/support_comm.h"

namespace {

class RecordingProgress : public DownloadProgress {
public:
    void OnProgress(int32_t received, int32_t total) override { reports.push_back({received, total}); }
    // Also gives up after many rounds, so a download that never ends cannot hang the suite.
    bool IsCancelled() override { return cancel || ++rounds > kGuardRounds; }
    bool GuardTripped() const { return rounds > kGuardRounds; }
    // The bytes said to be in the destination since it was last emptied.
    void OnDestinationReset() override {
        written.clear();
        ++resets;
    }
    void OnBytesWritten(const uint8_t* data, size_t size) override {
        written.insert(written.end(), data, data + size);
    }
    static constexpr int kGuardRounds = 100;
    std::vector<std::pair<int32_t, int32_t>> reports;
    Bytes written;
    int resets = 0;
    bool cancel = false;
    int rounds = 0;
};

uint16_t RequestIdOf(const Bytes& frame) {
    return static_cast<uint16_t>(frame[0] | (frame[1] << 8));
}

Bytes WholeFile(uint16_t id, uint16_t msgId, int32_t announced, const Bytes& content) {
    Bytes payload;
    Put32(payload, static_cast<uint32_t>(announced));
    payload.insert(payload.end(), content.begin(), content.end());
    while (payload.size() % 4 != 0) {
        payload.push_back(0xCC);
    }
    return Frame(id, msgId, payload);
}

Bytes Piece(uint16_t id, int32_t total, int32_t length, const Bytes& content) {
    Bytes payload;
    Put32(payload, static_cast<uint32_t>(total));
    Put32(payload, static_cast<uint32_t>(length));
    payload.insert(payload.end(), content.begin(), content.end());
    while (payload.size() % 4 != 0) {
        payload.push_back(0xCC);
    }
    return Frame(id, MSG_FILE_PIECE, payload);
}

std::unique_ptr<BmMsg> DownloadRequest(uint16_t id) {
    auto request = std::make_unique<BmMsg>(id, MSG_DOWNLOAD_REQUEST);
    request->AppendInt32(3);  // screen class
    request->AppendInt32(2);  // client type
    request->AppendInt32(706);
    request->AppendInt32(0);  // dev mode
    return request;
}

// A connected client, a destination in a fresh folder, and a gateway that answers the download
// request with the frames a test gives (built for the request id it sees).
class Download : public ::testing::Test {
protected:
    using Reply = std::function<std::vector<Bytes>(uint16_t id)>;

    bool Run(const Reply& reply, const std::string& destination) {
        ScriptedPeer peer(session_.peer, [&](int fd, const Bytes& frame) {
            for (const Bytes& out : reply(RequestIdOf(frame))) {
                WriteAll(fd, out);
            }
        });
        Downloader downloader(session_.client, &progress_, BmString(destination.c_str()));
        std::unique_ptr<BmMsg> request = DownloadRequest(downloader.ListenerId());
        const bool ok = downloader.Run(request.get());
        state_ = downloader.State();
        if (ok) {
            EXPECT_EQ(progress_.written, ReadFileBytes(destination)) << "not the bytes written";
        }
        EXPECT_EQ(session_.client.Connection().GetReceiveObserver(), nullptr);
        frames_ = peer.Frames();
        return ok;
    }
    bool Run(const Reply& reply) { return Run(reply, file_); }

    GatewaySession session_;
    ScratchDir dir_;
    std::string file_ = dir_.File("TORVIX.EXE");
    RecordingProgress progress_;
    Downloader::DownloadState state_ = Downloader::InProgress;
    std::vector<Bytes> frames_;
};

}  // namespace

TEST_F(Download, WholeFileRepliesOfEachKind) {
    ASSERT_TRUE(session_.Ok());
    const Bytes content = {'M', 'Z', 1, 2, 3};
    for (uint16_t msgId : {MSG_FILE_8131, MSG_FILE_8132, MSG_FILE_8149}) {
        ASSERT_TRUE(Run([&](uint16_t id) { return std::vector<Bytes>{WholeFile(id, msgId, 5, content)}; }))
            << msgId;
        EXPECT_EQ(ReadFileBytes(file_), content);
        ::unlink(file_.c_str());
    }
    // The request as it went out.
    ASSERT_EQ(frames_.size(), 1u);
    Bytes payload;
    Put32(payload, 3);
    Put32(payload, 2);
    Put32(payload, 706);
    Put32(payload, 0);
    EXPECT_EQ(frames_[0], Frame(RequestIdOf(frames_[0]), 8130, payload));
}

TEST_F(Download, EmptyWholeFiles) {
    ASSERT_TRUE(session_.Ok());
    bool exists = false;
    ASSERT_TRUE(Run([](uint16_t id) { return std::vector<Bytes>{WholeFile(id, 8131, 0, {})}; }));
    EXPECT_TRUE(ReadFileBytes(file_, &exists).empty());
    EXPECT_TRUE(exists);
    ::unlink(file_.c_str());
    ASSERT_TRUE(Run([](uint16_t id) { return std::vector<Bytes>{Frame(id, 8131, {})}; }));
    EXPECT_TRUE(ReadFileBytes(file_, &exists).empty());
    EXPECT_TRUE(exists);
}

TEST_F(Download, PiecesAreAssembledAndProgressReported) {
    ASSERT_TRUE(session_.Ok());
    ASSERT_TRUE(Run([](uint16_t id) {
        return std::vector<Bytes>{Piece(id, 10, 4, {0, 1, 2, 3}), Piece(id, 10, 6, {4, 5, 6, 7, 8, 9})};
    }));
    EXPECT_EQ(ReadFileBytes(file_), (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(progress_.reports, (std::vector<std::pair<int32_t, int32_t>>{{0, 10}, {4, 10}}));
    EXPECT_EQ(progress_.resets, 1);
    // A whole-file reply after some pieces writes the file anew: whoever watches the bytes
    // written must start again too.
    ASSERT_TRUE(Run([](uint16_t id) {
        return std::vector<Bytes>{Piece(id, 10, 4, {0, 1, 2, 3}), WholeFile(id, 8131, 3, {'y', 'e', 's'})};
    }));
    EXPECT_EQ(ReadFileBytes(file_), (Bytes{'y', 'e', 's'}));
    EXPECT_EQ(progress_.resets, 3);
}

TEST_F(Download, ALaterPieceWithAnotherTotalIsReportedAndIgnored) {
    ASSERT_TRUE(session_.Ok());
    AssertionCounter reports;
    ASSERT_TRUE(Run([](uint16_t id) {
        return std::vector<Bytes>{Piece(id, 6, 3, {1, 2, 3}), Piece(id, 600, 3, {4, 5, 6})};
    }));
    EXPECT_EQ(ReadFileBytes(file_), (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(reports.Count(), 1);
}

TEST_F(Download, RepliesForOthersAreNotTaken) {
    ASSERT_TRUE(session_.Ok());
    ASSERT_TRUE(Run([](uint16_t id) {
        return std::vector<Bytes>{WholeFile(static_cast<uint16_t>(id + 1), 8131, 2, {'n', 'o'}),
                                  WholeFile(id, 8131, 3, {'y', 'e', 's'})};
    }));
    EXPECT_EQ(ReadFileBytes(file_), (Bytes{'y', 'e', 's'}));
    EXPECT_EQ(session_.client.PendingCount(), 1u);  // kept for its own listener
}

TEST_F(Download, MalformedRepliesFailWithoutWriting) {
    ASSERT_TRUE(session_.Ok());
    struct Case {
        const char* what;
        Reply reply;
    };
    const std::vector<Case> cases = {
        {"whole-file size beyond its bytes",
         [](uint16_t id) {
             return std::vector<Bytes>{WholeFile(id, 8131, 9, {1, 2, 3, 4})};
         }},
        {"negative whole-file size",
         [](uint16_t id) {
             return std::vector<Bytes>{WholeFile(id, 8132, -1, {1, 2, 3, 4})};
         }},
        {"piece overflowing the total",
         [](uint16_t id) {
             return std::vector<Bytes>{Piece(id, 8, 6, Bytes(6, 1)), Piece(id, 8, 6, Bytes(6, 2))};
         }},
        {"piece longer than its payload",
         [](uint16_t id) {
             return std::vector<Bytes>{Piece(id, 16, 8, {1, 2, 3, 4})};
         }},
        {"negative piece length", [](uint16_t id) { return std::vector<Bytes>{Piece(id, 16, -4, {})}; }},
        {"negative total",
         [](uint16_t id) {
             return std::vector<Bytes>{Piece(id, -10, 4, {1, 2, 3, 4})};
         }},
        {"absurd total",
         [](uint16_t id) {
             return std::vector<Bytes>{Piece(id, 0x7FFFFFFF, 4, {1, 2, 3, 4})};
         }},
        {"piece without its header",
         [](uint16_t id) {
             return std::vector<Bytes>{Frame(id, 8301, {1, 0, 0, 0})};
         }},
        {"unexpected message id", [](uint16_t id) { return std::vector<Bytes>{Frame(id, 8133, {})}; }},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(Run(c.reply)) << c.what;
        EXPECT_EQ(state_, Downloader::Failed) << c.what;
        bool exists = true;
        ReadFileBytes(file_, &exists);
        EXPECT_FALSE(exists) << c.what;
        EXPECT_TRUE(session_.client.IsConnected()) << c.what;
    }
}

TEST_F(Download, DestinationThatCannotBeWrittenFails) {
    ASSERT_TRUE(session_.Ok());
    auto reply = [](uint16_t id) { return std::vector<Bytes>{WholeFile(id, 8131, 4, {1, 2, 3, 4})}; };
    EXPECT_FALSE(Run(reply, dir_.File("missing/TORVIX.EXE")));
    EXPECT_EQ(state_, Downloader::Failed);
    if (::access("/dev/full", W_OK) == 0) {
        EXPECT_FALSE(Run(reply, "/dev/full"));  // opens, but every write fails
        EXPECT_EQ(state_, Downloader::Failed);
        auto pieces = [](uint16_t id) { return std::vector<Bytes>{Piece(id, 4, 4, {1, 2, 3, 4})}; };
        EXPECT_FALSE(Run(pieces, "/dev/full"));
    }
}

TEST_F(Download, LargeTotalsGetTheirBuffer) {
    ASSERT_TRUE(session_.Ok());
    progress_.cancel = false;
    const int32_t total = 256 * 1024 * 1024;
    int32_t seenTotal = 0;
    ScriptedPeer peer(session_.peer, [&](int fd, const Bytes& frame) {
        WriteAll(fd, Piece(RequestIdOf(frame), total, 4, {1, 2, 3, 4}));
    });
    class CancelAfterFirst : public DownloadProgress {
    public:
        void OnProgress(int32_t, int32_t t) override { *seen = t; }
        bool IsCancelled() override { return *seen != 0; }
        int32_t* seen;
    } cancelling;
    cancelling.seen = &seenTotal;
    Downloader downloader(session_.client, &cancelling, BmString(file_.c_str()));
    std::unique_ptr<BmMsg> request = DownloadRequest(downloader.ListenerId());
    EXPECT_FALSE(downloader.Run(request.get()));  // cancelled after the first piece
    EXPECT_EQ(downloader.State(), Downloader::InProgress);
    EXPECT_EQ(downloader.Total(), total);
    EXPECT_EQ(downloader.Received(), 4);
}

TEST_F(Download, SilentGatewayTimesOutButKeepsTheLink) {
    ASSERT_TRUE(session_.Ok());
    ScopedManualClock clock(0);
    clock->SetAutoAdvance(3000);
    EXPECT_FALSE(Run([](uint16_t) { return std::vector<Bytes>{}; }));
    EXPECT_GT(clock->Now(), 15000u);
    EXPECT_EQ(state_, Downloader::InProgress);
    EXPECT_TRUE(session_.client.IsConnected());
}

TEST_F(Download, SlowWholeFileIsNotCutOff) {
    ASSERT_TRUE(session_.Ok());
    ScopedManualClock clock(0);
    const Bytes content(4000, 0x42);
    const Bytes wire = WholeFile(0, 8149, 4000, content);
    ScriptedPeer peer(session_.peer, [&](int fd, const Bytes& frame) {
        Bytes out = wire;
        out[0] = frame[0];
        out[1] = frame[1];
        // Five slices, each 10 s of the client's clock apart: 40 s in all.
        for (size_t at = 0; at < out.size(); at += 1000) {
            if (at > 0) {
                clock->Advance(10000);
            }
            WriteAll(fd, Bytes(out.begin() + at, out.begin() + std::min(out.size(), at + 1000)));
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    Downloader downloader(session_.client, &progress_, BmString(file_.c_str()));
    std::unique_ptr<BmMsg> request = DownloadRequest(downloader.ListenerId());
    EXPECT_TRUE(downloader.Run(request.get()));
    EXPECT_GE(clock->Now(), 40000u);
    EXPECT_EQ(ReadFileBytes(file_), content);
    ASSERT_FALSE(progress_.reports.empty());
    EXPECT_EQ(progress_.reports.back().second, 4004);  // the announced payload length
}

TEST_F(Download, WholeFileThatStallsHalfwayEndsAtTheIdleLimit) {
    ASSERT_TRUE(session_.Ok());
    ScopedManualClock clock(0);
    clock->SetAutoAdvance(3000);
    const Bytes wire = WholeFile(0, 8131, 4000, Bytes(4000, 1));
    EXPECT_FALSE(Run([&](uint16_t id) {
        Bytes half(wire.begin(), wire.begin() + 1000);
        half[0] = static_cast<uint8_t>(id);
        half[1] = static_cast<uint8_t>(id >> 8);
        return std::vector<Bytes>{half};
    }));
    EXPECT_EQ(state_, Downloader::InProgress);
    EXPECT_FALSE(progress_.reports.empty());
    EXPECT_FALSE(progress_.GuardTripped());  // ended by the idle limit, not by the guard
}

TEST_F(Download, LinkDroppingClosesTheConnection) {
    ASSERT_TRUE(session_.Ok());
    ScopedManualClock clock(0);  // only the drop can end the wait
    std::atomic<bool> closed{false};
    ScriptedPeer peer(session_.peer, [&](int fd, const Bytes& frame) {
        WriteAll(fd, Piece(RequestIdOf(frame), 8, 4, {1, 2, 3, 4}));
        ::shutdown(fd, SHUT_RDWR);
        closed = true;
    });
    Downloader downloader(session_.client, &progress_, BmString(file_.c_str()));
    std::unique_ptr<BmMsg> request = DownloadRequest(downloader.ListenerId());
    EXPECT_FALSE(downloader.Run(request.get()));
    EXPECT_FALSE(session_.client.IsConnected());
    EXPECT_FALSE(session_.client.IsRegistered(&downloader));
    EXPECT_EQ(session_.client.Connection().GetReceiveObserver(), nullptr);
}

TEST_F(Download, RequestThatCannotBeSentFailsAtOnce) {
    ASSERT_TRUE(session_.Ok());
    session_.client.Connection().Disconnect();
    Downloader downloader(session_.client, &progress_, BmString(file_.c_str()));
    std::unique_ptr<BmMsg> request = DownloadRequest(downloader.ListenerId());
    EXPECT_FALSE(downloader.Run(request.get()));
    EXPECT_TRUE(progress_.reports.empty());
}
