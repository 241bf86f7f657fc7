#include "QUILLON/hashingprogress.h"

#include "COMMON/BM_SIGN/payloadhasher.h"

void HashingProgress::OnProgress(int32_t received, int32_t total) {
    if (shown_ != nullptr) {
        shown_->OnProgress(received, total);
    }
}

bool HashingProgress::IsCancelled() {
    return shown_ != nullptr && shown_->IsCancelled();
}

void HashingProgress::OnDestinationReset() {
    if (shown_ != nullptr) {
        shown_->OnDestinationReset();
    }
    if (hasher_ != nullptr) {
        hasher_->ResetFromFile(path_);
    }
}

void HashingProgress::OnBytesWritten(const uint8_t* data, size_t size) {
    if (shown_ != nullptr) {
        shown_->OnBytesWritten(data, size);
    }
    if (hasher_ != nullptr) {
        hasher_->Update(data, size);
    }
}
