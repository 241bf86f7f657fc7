#include "COMMON/BM_COMM/downloader.h"

#include <sys/mman.h>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/bmfile.h"
#include "COMMON/BM_OS/stopsignal.h"
#include "COMMON/BM_UTIL/bmassert.h"

namespace {

// Big files are assembled in huge pages where the system offers them: far fewer page faults
// while the pieces are copied in.
uint8_t* MapBlock(size_t bytes) {
    void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        return nullptr;
    }
    ::madvise(block, bytes, MADV_HUGEPAGE);
    return static_cast<uint8_t*>(block);
}

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
}

void Downloader::StopObserving() {
    BmSocket& link = client_.Connection();
    if (link.GetReceiveObserver() == this) {
        link.SetReceiveObserver(nullptr);
    }
}

bool Downloader::Run(BmMsg* request) {
    if (!client_.Send(request)) {
        return false;
    }
    client_.Connection().SetReceiveObserver(this);
    lastActivity_ = GetTickCount();
    while (state_ == InProgress) {
        if (progress_ != nullptr && progress_->IsCancelled()) {
            break;
        }
        if (ElapsedSince(lastActivity_) > kDownloadIdleTimeoutMs || StopRequested()) {
            StopObserving();
            return false;
        }
        if (client_.Poll(nullptr, ListenerId(), kPollWaitMs) == BmServer::kPollFailed) {
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
        state_ = Failed;
    }
}

void Downloader::HandleWholeFile(BmMsg& message) {
    int32_t size = 0;
    message.ReadInt32(&size);  // an empty payload is an empty file
    // The announced size must be there in full: never write what the payload does not hold.
    if (size < 0 || static_cast<uint32_t>(size) > message.Remaining()) {
        state_ = Failed;
        return;
    }
    const uint8_t* bytes = message.Payload() != nullptr ? message.Payload() + message.Cursor() : nullptr;
    state_ = WriteDestination(bytes, size) ? Complete : Failed;
}

void Downloader::HandlePiece(BmMsg& message) {
    lastActivity_ = GetTickCount();
    int32_t announced = 0;
    int32_t length = 0;
    if (!message.ReadInt32(&announced) || !message.ReadInt32(&length)) {
        state_ = Failed;
        return;
    }
    if (!haveBuffer_) {
        // The buffer is sized by the gateway's word: refuse what no real file could need.
        if (announced < 0 || announced > kMaxDownloadBytes) {
            state_ = Failed;
            return;
        }
        const size_t bytes = announced > 0 ? static_cast<size_t>(announced) : 1;
        buffer_ = std::unique_ptr<uint8_t, AssemblyUnmap>(MapBlock(bytes), AssemblyUnmap{bytes});
        if (!buffer_) {
            BM_ASSERT_REPORT();
            state_ = Failed;
            return;
        }
        haveBuffer_ = true;
        total_ = announced;
    }
    if (announced != total_) {
        BM_ASSERT_REPORT();  // carry on with the first total
    }
    if (progress_ != nullptr) {
        progress_->OnProgress(received_, total_);
    }
    // A piece must fit the room left and be wholly present in the payload.
    if (length < 0 || length > total_ - received_ ||
        !message.ReadBytes(buffer_.get() + received_, static_cast<uint32_t>(length))) {
        state_ = Failed;
        return;
    }
    received_ += length;
    if (received_ < total_) {
        return;
    }
    state_ = WriteDestination(buffer_.get(), total_) ? Complete : Failed;
    buffer_.reset();
    haveBuffer_ = false;
}

bool Downloader::WriteDestination(const uint8_t* bytes, int32_t count) {
    BmFile file(destination_);
    if (!file.Open(ModeCreate, 0)) {
        return false;
    }
    bool written = count == 0 || file.WriteBlock(bytes, count);
    written = file.Flush() && written;
    file.Close();
    // Close reports no result of its own: a file that does not hold every byte is a failure.
    return written && file.Size() == count;
}

void AssemblyUnmap::operator()(uint8_t* block) const {
    ::munmap(block, bytes);
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
