// WindowDownloadProgress: a download's progress as a person sees it. A bar across the bottom of the
// status window's panel strip, repainted at most ten times a second (the download blocks the
// loop, so the window is repainted directly), and for a download that runs longer than two
// seconds a line on standard error at each further tenth:
//     download 40 % (10.8 of 27.0 MB)        (MB = 10^6 bytes, one decimal)
// The bar goes when the object does.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>

#include "COMMON/BM_COMM/downloader.h"

class LauncherView;

class WindowDownloadProgress final : public DownloadProgress {
public:
    static constexpr uint32_t kRepaintIntervalMs = 100;
    static constexpr uint32_t kQuietMs = 2000;  // shorter downloads write no lines

    // `view` (may be null) shows the bar; lines go to `logFd`.
    explicit WindowDownloadProgress(LauncherView* view, int logFd = STDERR_FILENO);
    // Takes the bar off the window.
    ~WindowDownloadProgress() override;
    WindowDownloadProgress(const WindowDownloadProgress&) = delete;
    WindowDownloadProgress& operator=(const WindowDownloadProgress&) = delete;

    // `received` of `total` bytes so far; reports with no total (or a nonsense one) are ignored.
    void OnProgress(int32_t received, int32_t total) override;

    // The line written for `received` of `total` bytes (no line feed).
    static std::string ProgressLine(int32_t received, int32_t total);

private:
    LauncherView* view_;
    int logFd_;
    uint32_t start_;
    uint32_t lastPaint_ = 0;
    bool painted_ = false;
    int32_t lastTenth_ = 0;
    int32_t reportedTenth_ = -1;  // the tenth last handed to the status report
};
