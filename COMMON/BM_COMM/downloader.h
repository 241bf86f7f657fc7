// Downloader: fetches one file from the gateway over the existing connection and writes it to a
// local path. The answer is either one whole-file reply (MSG_FILE_8131, 8132, 8149: integer n,
// n bytes) or a series of pieces (MSG_FILE_PIECE: integer total, integer k, k bytes), each written
// to the destination as it arrives, so memory stays small whatever the file's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "COMMON/BM_COMM/bmsocket.h"
#include "COMMON/BM_COMM/gatewaylistener.h"
#include "COMMON/BM_UTIL/bmstring.h"

class BmFile;
class BmMsg;
class BmServer;

// The caller's progress and cancellation interface.
class DownloadProgress {
public:
    virtual ~DownloadProgress() = default;
    virtual void OnProgress(int32_t received, int32_t total) { (void)received, (void)total; }
    // True stops the wait (the download then fails).
    virtual bool IsCancelled() { return false; }
    // The destination was created or truncated: bytes reported before are no longer in it.
    virtual void OnDestinationReset() {}
    // `size` bytes at `data` were written to the destination, right after those reported since
    // the last reset (the file is written in order, never at other offsets).
    virtual void OnBytesWritten(const uint8_t* data, size_t size) { (void)data, (void)size; }
};

class Downloader : public GatewayListener, public ReceiveObserver {
public:
    enum DownloadState : int32_t { InProgress = 0, Failed = 1, Complete = 2 };

    static constexpr uint32_t kDownloadIdleTimeoutMs = 15000;
    static constexpr int32_t kPollWaitMs = 50;
    // Largest announced total that is accepted; anything above is a failed download.
    static constexpr int32_t kMaxDownloadBytes = 512 * 1024 * 1024;

    // Takes a listener id from `client` (which must outlive it) and registers. `progress` may
    // be null; `destination` is the path written (created or truncated). A destination written
    // by a download that did not complete is removed, at the failure or by the destructor.
    Downloader(BmServer& client, DownloadProgress* progress, const BmString& destination);
    ~Downloader() override;
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

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
    // Why the download did not complete ("<path>: <reason>", "gateway closed the link", ...);
    // empty while it is in progress or complete.
    const std::string& Error() const { return error_; }

private:
    void HandleWholeFile(BmMsg& message);
    void HandlePiece(BmMsg& message);
    bool OpenDestination();
    // Tells the progress which bytes went to the destination.
    void NoteWritten(const uint8_t* data, int32_t size);
    bool FinishDestination();
    void Fail(std::string cause);
    // Fails with "<host path>: <errno text>", or `fallback` when errno says nothing.
    void FailOnFile(const char* fallback);
    void DiscardDestination();
    void StopObserving();

    BmServer& client_;
    DownloadState state_ = InProgress;
    std::unique_ptr<BmFile> file_;  // the destination while pieces arrive
    bool started_ = false;          // the first piece fixed the total
    bool created_ = false;          // the destination was created or truncated by this download
    int32_t total_ = 0;
    int32_t received_ = 0;
    BmString destination_;
    DownloadProgress* progress_;
    uint32_t lastActivity_;
    uint32_t lastReceivedBytes_ = 0xFFFFFFFFu;  // of the whole-file reply arriving now
    std::string error_;
};
