// The downloader fed arbitrary reply sequences through OnMessage, each a Wrap'ed record in an
// exact-size copy. Input: records of [flags][16-bit size][size wire bytes]; flag bit 0 puts the
// downloader's own listener id into the header (so that most records are its replies), bit 1
// reports arrival progress before the record, bits 2-3 pick a whole-file or piece message id.
// Invariants: never a read past a payload or a write past a buffer (AddressSanitizer), progress
// within the announced total, a bounded piece buffer, a final state that never changes, and a
// completed file that holds exactly the bytes the replies carried.
#include <sanitizer/allocator_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/downloader.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "fuzz/fuzzsupport.h"

namespace {

// The largest single allocation seen while the downloader runs.
size_t gLargestAllocation = 0;
bool gWatching = false;

void OnMalloc(const volatile void*, size_t size) {
    if (gWatching && size > gLargestAllocation) {
        gLargestAllocation = size;
    }
}
void OnFree(const volatile void*) {}

class CheckingProgress : public DownloadProgress {
public:
    void OnProgress(int32_t received, int32_t total) override {
        if (inPiece) {
            // Piece progress is (bytes so far, announced total) before each piece.
            FUZZ_CHECK(received >= 0 && total >= 0 && received <= total);
        }
        ++reports;
    }
    bool inPiece = false;
    int reports = 0;
};

constexpr uint16_t kReplyIds[] = {MSG_FILE_8131, MSG_FILE_8132, MSG_FILE_8149, MSG_FILE_PIECE};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BmServer client;  // never connected: OnMessage is driven directly; fresh, so ids repeat
    static bool hooked = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
    (void)hooked;
    KeepDiscoveryOnLoopback();  // the client is never started, but make sure
    const std::string destination = FuzzScratchDir() + "/download.bin";
    ::unlink(destination.c_str());

    FuzzInput in(data, size);
    CheckingProgress progress;
    gLargestAllocation = 0;
    {
        Downloader downloader(client, &progress, BmString(destination.c_str()));
        std::vector<uint8_t> expected;  // the file the replies describe, as far as they are well formed
        bool wellFormed = true;
        bool lastWasPiece = false;
        Downloader::DownloadState finalState = Downloader::InProgress;

        while (!in.Empty()) {
            const uint8_t flags = in.Byte();
            std::vector<uint8_t> wire = in.Bytes(in.U16());
            if (wire.size() >= 4 && (flags & 0x0C) != 0) {
                const uint16_t id = kReplyIds[((flags >> 2) & 3)];
                wire[2] = static_cast<uint8_t>(id);
                wire[3] = static_cast<uint8_t>(id >> 8);
            }
            if (wire.size() >= 2 && (flags & 1) != 0) {
                wire[0] = static_cast<uint8_t>(downloader.ListenerId());
                wire[1] = static_cast<uint8_t>(downloader.ListenerId() >> 8);
            }
            BmMsg message;
            message.Wrap(wire.empty() ? nullptr : wire.data(), static_cast<uint32_t>(wire.size()));
            if ((flags & 2) != 0 && wire.size() >= 8) {
                progress.inPiece = false;
                // What the transport reports from a header whose message is still arriving.
                downloader.OnReceiveProgress(LoadLe16(wire.data() + 2), LoadLe16(wire.data()),
                                             static_cast<uint32_t>(wire.size() - 8),
                                             LoadLe32(wire.data() + 4));
            }

            // What a sound downloader makes of this record, for the content check below.
            const bool mine = message.RequestId() == downloader.ListenerId();
            const uint8_t* payload = message.Payload();
            const uint32_t length = message.Length();
            if (mine && downloader.State() == Downloader::InProgress) {
                const uint16_t id = message.MsgId();
                if (id == MSG_FILE_8131 || id == MSG_FILE_8132 || id == MSG_FILE_8149) {
                    const uint32_t n = length >= 4 ? LoadLe32(payload) : 0;
                    expected.clear();
                    if (n <= length - (length >= 4 ? 4 : length)) {
                        expected.assign(payload + 4, payload + 4 + n);
                    } else {
                        wellFormed = false;
                    }
                    lastWasPiece = false;
                } else if (id == MSG_FILE_PIECE) {
                    const uint32_t k = length >= 8 ? LoadLe32(payload + 4) : 0;
                    if (length >= 8 && k <= length - 8) {
                        expected.insert(expected.end(), payload + 8, payload + 8 + k);
                    } else {
                        wellFormed = false;
                    }
                    lastWasPiece = true;
                }
            }

            progress.inPiece = message.MsgId() == MSG_FILE_PIECE;
            gWatching = true;
            downloader.OnMessage(message);
            gWatching = false;

            FUZZ_CHECK(downloader.Received() >= 0);
            FUZZ_CHECK(downloader.Total() >= 0 && downloader.Total() <= Downloader::kMaxDownloadBytes);
            FUZZ_CHECK(downloader.Received() <= downloader.Total() ||
                       downloader.State() != Downloader::InProgress);
            if (finalState != Downloader::InProgress) {
                FUZZ_CHECK(downloader.State() == finalState);  // a finished download stays finished
            }
            finalState = downloader.State();
        }

        // One piece buffer of the announced total (bounded) and nothing much bigger.
        FUZZ_CHECK(gLargestAllocation <= static_cast<size_t>(Downloader::kMaxDownloadBytes) + 4096);
        if (finalState == Downloader::Complete) {
            bool readable = false;
            const std::vector<uint8_t> written = ReadFileBytes(destination, &readable);
            FUZZ_CHECK(readable);
            if (wellFormed) {
                FUZZ_CHECK(written == expected);
            }
            if (lastWasPiece) {
                FUZZ_CHECK(static_cast<int32_t>(written.size()) == downloader.Total());
            }
        }
    }
    return 0;
}
