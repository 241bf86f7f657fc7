#include "QUILLON/launchpacing.h"

#include "COMMON/BM_COMM/statussink.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "QUILLON/tabletchild.h"

namespace {
std::string Seconds(uint32_t ms) {
    return std::to_string((ms + 999) / 1000) + " s";
}

void Show(StatusSink* sink, const std::string& line) {
    if (sink != nullptr) {
        sink->ShowStatus(BmString(line.c_str()));
    }
}
}  // namespace

LaunchPacing::LaunchPacing(uint32_t firstPauseMs)
    : runs_(kQuickEndsBeforePause, firstPauseMs), downloads_(0, firstPauseMs) {}

std::optional<TabletEnd> LaunchPacing::ReapTablet(TabletChild& children, StatusSink* sink, uint32_t now) {
    const std::optional<TabletEnd> end = children.Reap(now);
    if (end) {
        TabletEnded(*end, false, sink, now);
    }
    return end;
}

void LaunchPacing::TabletEnded(const TabletEnd& end, bool startNow, StatusSink* sink, uint32_t now) {
    Show(sink, DescribeEnd(end));
    lastEnd_ = EndSeen{end, now};
    if (startNow) {
        runs_.Reset();
        return;
    }
    const uint32_t pause = runs_.RunEnded(end.runMs, now);
    if (pause > 0) {
        Show(sink, "Torvix ended after " + std::to_string(end.runMs / 1000) + " s, " +
                       std::to_string(runs_.Failures()) + " times: next start in " + Seconds(pause));
    }
}

void LaunchPacing::DownloadDone(bool ok, const std::string& cause, StatusSink* sink, uint32_t now) {
    lastDownload_ = DownloadSeen{ok, cause, now};
    if (ok) {
        verifyDownload_ = true;
        return;
    }
    verifyDownload_ = false;
    const uint32_t pause = downloads_.Fail(now);
    if (pause > 0) {
        Show(sink, "Download failed (" + (cause.empty() ? std::string("no cause known") : cause) +
                       "): next try in " + Seconds(pause));
    }
}

bool LaunchPacing::VersionSeen(bool matches, StatusSink* sink, uint32_t now) {
    const bool afterDownload = verifyDownload_;
    verifyDownload_ = false;
    if (matches) {
        downloads_.Reset();
        return false;
    }
    if (!afterDownload) {
        return false;
    }
    const uint32_t pause = downloads_.Fail(now);
    if (pause > 0) {
        Show(sink, "Version still differs after download: next try in " + Seconds(pause));
    }
    return pause > 0;
}

void LaunchPacing::Reset(uint32_t firstPauseMs) {
    *this = LaunchPacing(firstPauseMs);
}
