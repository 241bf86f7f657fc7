#include "QUILLON/downloadprogress.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "COMMON/BM_OS/bmclock.h"
#include "QUILLON/launcherview.h"
#include "QUILLON/servicereport.h"

namespace {
constexpr int64_t kBytesPerTenthMb = 100000;

// Bytes as megabytes (10^6) with one decimal, rounded; no locale is consulted.
std::string Megabytes(int64_t bytes) {
    const int64_t tenths = (bytes + kBytesPerTenthMb / 2) / kBytesPerTenthMb;
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId64 ".%" PRId64, tenths / 10, tenths % 10);
    return text;
}

// Painting and writing may set errno; the downloader's caller reads the file's error after the
// download, so a progress report leaves errno as it found it.
class KeepErrno {
public:
    KeepErrno() : saved_(errno) {}
    ~KeepErrno() { errno = saved_; }
    KeepErrno(const KeepErrno&) = delete;
    KeepErrno& operator=(const KeepErrno&) = delete;

private:
    int saved_;
};
}  // namespace

WindowDownloadProgress::WindowDownloadProgress(LauncherView* view, int logFd)
    : view_(view), logFd_(logFd), start_(GetTickCount()) {
    // `quillon --status` tells what blocks the loop, a stalled gateway's download included.
    Service().SetActivity("download requested");
}

WindowDownloadProgress::~WindowDownloadProgress() {
    const KeepErrno keep;
    Service().SetActivity("");
    if (view_ != nullptr && painted_) {
        view_->ShowDownloadProgress(0, 0);
    }
}

std::string WindowDownloadProgress::ProgressLine(int32_t received, int32_t total) {
    const int64_t percent = total > 0 ? int64_t{received} * 100 / total : 0;
    return "download " + std::to_string(percent) + " % (" + Megabytes(received) + " of " + Megabytes(total) +
           " MB)";
}

void WindowDownloadProgress::OnProgress(int32_t received, int32_t total) {
    if (total <= 0 || received < 0 || received > total) {
        return;
    }
    const KeepErrno keep;
    if (view_ != nullptr && (!painted_ || ElapsedSince(lastPaint_) >= kRepaintIntervalMs)) {
        view_->ShowDownloadProgress(received, total);
        lastPaint_ = GetTickCount();
        painted_ = true;
    }
    const int32_t tenth = static_cast<int32_t>(int64_t{received} * 10 / total);
    if (tenth != reportedTenth_) {
        reportedTenth_ = tenth;
        Service().SetActivity(ProgressLine(received, total));
    }
    if (tenth > lastTenth_ && ElapsedSince(start_) > kQuietMs) {
        lastTenth_ = tenth;
        const std::string line = ProgressLine(received, total) + "\n";
        // One write per line, so that it never interleaves with the status lines.
        (void)!write(logFd_, line.data(), line.size());
    }
}
