// Downloader: fetches one file from the gateway over the existing connection and writes it to a
// local path. The answer is either one whole-file reply (MSG_FILE_8131, 8132, 8149: integer n,
// n bytes) or a series of pieces (MSG_FILE_PIECE: integer total, integer k, k bytes) assembled
// in one buffer of the announced total and written at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "COMMON/BM_COMM/bmsocket.h"
#include "COMMON/BM_COMM/gatewaylistener.h"
#include "COMMON/BM_UTIL/bmstring.h"

class BmMsg;
class BmServer;

// The caller's progress and cancellation interface.
class DownloadProgress {
public:
    virtual ~DownloadProgress() = default;
    virtual void OnProgress(int32_t received, int32_t total) { (void)received, (void)total; }
    // True stops the wait (the download then fails).
    virtual bool IsCancelled() { return false; }
};

// Releases a download's assembly buffer of `bytes` bytes.
struct AssemblyUnmap {
    size_t bytes = 0;
    void operator()(uint8_t* block) const;
};

class Downloader : public GatewayListener, public ReceiveObserver {
public:
    enum DownloadState : int32_t { InProgress = 0, Failed = 1, Complete = 2 };

    static constexpr uint32_t kDownloadIdleTimeoutMs = 15000;
    static constexpr int32_t kPollWaitMs = 50;
    // Largest announced total that is assembled; anything above is a failed download.
    static constexpr int32_t kMaxDownloadBytes = 512 * 1024 * 1024;

    // Takes a listener id from `client` (which must outlive it) and registers. `progress` may
    // be null; `destination` is the path written (created or truncated) on completion.
    Downloader(BmServer& client, DownloadProgress* progress, const BmString& destination);
    ~Downloader() override;

    // Sends `request` (its request id should be ListenerId()) and waits until the file is
    // written, the download fails or is cancelled, the link drops (the connection is then
    // closed), a stop is asked for, or kDownloadIdleTimeoutMs pass without progress. True only when the whole
    // file was written and closed.
    bool Run(BmMsg* request);

    void OnMessage(BmMsg& message) override;
    void OnReceiveProgress(uint32_t msgId, uint32_t requestId, uint32_t received, uint32_t declared) override;

    DownloadState State() const { return state_; }
    int32_t Total() const { return total_; }
    int32_t Received() const { return received_; }

private:
    void HandleWholeFile(BmMsg& message);
    void HandlePiece(BmMsg& message);
    bool WriteDestination(const uint8_t* bytes, int32_t count);
    void StopObserving();

    BmServer& client_;
    DownloadState state_ = InProgress;
    std::unique_ptr<uint8_t, AssemblyUnmap> buffer_;  // anonymous memory of the total
    bool haveBuffer_ = false;
    int32_t total_ = 0;
    int32_t received_ = 0;
    BmString destination_;
    DownloadProgress* progress_;
    uint32_t lastActivity_;
    uint32_t lastReceivedBytes_ = 0xFFFFFFFFu;  // of the whole-file reply arriving now
};
