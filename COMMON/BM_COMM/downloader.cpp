#include "COMMON/BM_COMM/downloader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/bmfile.h"
#include "COMMON/BM_OS/devicepath.h"
#include "COMMON/BM_OS/stopsignal.h"
#include "COMMON/BM_OS/waittick.h"
#include "COMMON/BM_UTIL/bmassert.h"

namespace {

constexpr char kNotSent[] = "the request could not be sent";
constexpr char kIdle[] = "no reply within 15 s";
constexpr char kLinkClosed[] = "gateway closed the link";
constexpr char kCancelled[] = "cancelled";
constexpr char kStopped[] = "stopped on request";
constexpr char kUnexpectedReply[] = "unexpected reply ";
constexpr char kBadWholeFile[] = "whole-file reply shorter than its size";
constexpr char kBadPieceHeader[] = "piece without its total and length";
constexpr char kBadTotal[] = "announced size out of range: ";
constexpr char kBadPiece[] = "piece beyond the announced size or its payload";

bool IsWholeFile(uint32_t msgId) {
    return msgId == MSG_FILE_8131 || msgId == MSG_FILE_8132 || msgId == MSG_FILE_8149;
}

}  // namespace

Downloader::Downloader(BmServer& client, DownloadProgress* progress, const BmString& destination)
    : GatewayListener(client),
      client_(client),
      destination_(destination),
      progress_(progress),
      lastActivity_(GetTickCount()) {
    client_.AddListener(this);
}

Downloader::~Downloader() {
    StopObserving();
    client_.RemoveListener(this);
    if (state_ != Complete) {
        DiscardDestination();
    }
}

void Downloader::StopObserving() {
    BmSocket& link = client_.Connection();
    if (link.GetReceiveObserver() == this) {
        link.SetReceiveObserver(nullptr);
    }
}

bool Downloader::Run(BmMsg* request) {
    if (!client_.Send(request)) {
        error_ = kNotSent;
        return false;
    }
    client_.Connection().SetReceiveObserver(this);
    lastActivity_ = GetTickCount();
    while (state_ == InProgress) {
        WaitTick();  // a download that is progressing is no hang
        if (progress_ != nullptr && progress_->IsCancelled()) {
            error_ = kCancelled;
            break;
        }
        if (ElapsedSince(lastActivity_) > kDownloadIdleTimeoutMs || StopRequested()) {
            error_ = StopRequested() ? kStopped : kIdle;
            StopObserving();
            return false;
        }
        if (client_.Poll(nullptr, ListenerId(), kPollWaitMs) == BmServer::kPollFailed) {
            error_ = kLinkClosed;
            client_.RemoveListener(this);
            StopObserving();
            client_.Connection().Disconnect();
            return false;
        }
    }
    StopObserving();
    return state_ == Complete;
}

void Downloader::OnMessage(BmMsg& message) {
    if (message.RequestId() != ListenerId() || state_ != InProgress) {
        return;
    }
    if (IsWholeFile(message.MsgId())) {
        HandleWholeFile(message);
    } else if (message.MsgId() == MSG_FILE_PIECE) {
        HandlePiece(message);
    } else {
        Fail(kUnexpectedReply + std::to_string(message.MsgId()));
    }
}

void Downloader::HandleWholeFile(BmMsg& message) {
    int32_t size = 0;
    message.ReadInt32(&size);  // an empty payload is an empty file
    // The announced size must be there in full: never write what the payload does not hold.
    if (size < 0 || static_cast<uint32_t>(size) > message.Remaining()) {
        Fail(kBadWholeFile);
        return;
    }
    if (!OpenDestination()) {
        return;
    }
    errno = 0;
    if (size > 0 && !file_->WriteBlock(message.Payload() + message.Cursor(), size)) {
        FailOnFile("write failed");
        return;
    }
    NoteWritten(message.Payload() + message.Cursor(), size);
    received_ = total_ = size;
    FinishDestination();
}

void Downloader::HandlePiece(BmMsg& message) {
    lastActivity_ = GetTickCount();
    int32_t announced = 0;
    int32_t length = 0;
    if (!message.ReadInt32(&announced) || !message.ReadInt32(&length)) {
        Fail(kBadPieceHeader);
        return;
    }
    if (!started_) {
        // The size is the gateway's word: refuse what no real file could need.
        if (announced < 0 || announced > kMaxDownloadBytes) {
            Fail(kBadTotal + std::to_string(announced));
            return;
        }
        if (!OpenDestination()) {
            return;
        }
        started_ = true;
        total_ = announced;
    }
    if (announced != total_) {
        BM_ASSERT_REPORT();  // carry on with the first total
    }
    if (progress_ != nullptr) {
        progress_->OnProgress(received_, total_);
    }
    // A piece must fit the room left and be wholly present in the payload. It goes to the file
    // straight from the receive buffer.
    if (length < 0 || length > total_ - received_ || static_cast<uint32_t>(length) > message.Remaining()) {
        Fail(kBadPiece);
        return;
    }
    errno = 0;
    if (length > 0 && !file_->WriteBlock(message.Payload() + message.Cursor(), length)) {
        FailOnFile("write failed");
        return;
    }
    NoteWritten(message.Payload() + message.Cursor(), length);
    received_ += length;
    if (received_ >= total_) {
        FinishDestination();
    }
}

bool Downloader::OpenDestination() {
    file_ = std::make_unique<BmFile>(destination_);
    errno = 0;
    if (!file_->Open(ModeCreate, 0)) {
        FailOnFile("not a regular file free to write");
        return false;
    }
    created_ = true;
    if (progress_ != nullptr) {
        progress_->OnDestinationReset();
    }
    return true;
}

void Downloader::NoteWritten(const uint8_t* data, int32_t size) {
    if (progress_ != nullptr && size > 0) {
        progress_->OnBytesWritten(data, static_cast<size_t>(size));
    }
}

bool Downloader::FinishDestination() {
    errno = 0;
    const bool flushed = file_->Flush();
    // Close reports no result of its own: a file that does not hold every byte is a failure.
    if (!flushed || file_->Size() != total_) {
        FailOnFile("not written in full");
        return false;
    }
    file_->Close();
    file_.reset();
    state_ = Complete;
    return true;
}

void Downloader::Fail(std::string cause) {
    state_ = Failed;
    error_ = std::move(cause);
    DiscardDestination();
}

void Downloader::FailOnFile(const char* fallback) {
    const int code = errno;
    Fail(DeviceFilePath(BmString(destination_).NarrowText()) + ": " +
         (code != 0 ? std::strerror(code) : fallback));
}

void Downloader::DiscardDestination() {
    file_.reset();
    if (created_) {
        created_ = false;
        ::unlink(DeviceFilePath(BmString(destination_).NarrowText()).c_str());
    }
}

void Downloader::OnReceiveProgress(uint32_t msgId, uint32_t requestId, uint32_t received, uint32_t declared) {
    (void)requestId;
    if (!IsWholeFile(msgId)) {
        return;
    }
    if (progress_ != nullptr) {
        progress_->OnProgress(static_cast<int32_t>(received), static_cast<int32_t>(declared));
    }
    // The transport reports on every poll, new bytes or not: only new bytes are progress, or a
    // reply that stalls halfway would hold the download open for ever.
    if (received != lastReceivedBytes_) {
        lastReceivedBytes_ = received;
        lastActivity_ = GetTickCount();
    }
}
