// HashingProgress: a download's progress as shown, plus the signature check's hash taken from the
// bytes as they are written, so that the install need not read the file again.
#pragma once

#include <string>
#include <utility>

#include "COMMON/BM_COMM/downloader.h"

class PayloadHasher;

class HashingProgress final : public DownloadProgress {
public:
    // Passes progress and cancellation to `shown` (may be null) and the written bytes to
    // `hasher` (may be null), which reads them back from `path`, the file they are written to;
    // both must outlive it.
    HashingProgress(DownloadProgress* shown, PayloadHasher* hasher, std::string path)
        : shown_(shown), hasher_(hasher), path_(std::move(path)) {}

    void OnProgress(int32_t received, int32_t total) override;
    bool IsCancelled() override;
    // A download that starts the file again starts the hash again.
    void OnDestinationReset() override;
    void OnBytesWritten(const uint8_t* data, size_t size) override;

private:
    DownloadProgress* shown_;
    PayloadHasher* hasher_;
    std::string path_;
};
