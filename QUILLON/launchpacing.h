// When the supervisor loop may start the tablet application or download it again: an
// application that keeps ending soon after its start, and downloads that fail or leave the wrong
// version behind, are retried after a growing pause (RestartBackoff) instead of on every pass.
// A pause is announced by one status line when it begins; while it lasts the action is skipped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "QUILLON/restartbackoff.h"
#include "QUILLON/tabletchild.h"

class StatusSink;

class LaunchPacing {
public:
    static constexpr uint32_t kQuickEndsBeforePause = 2;  // the third quick end in a row pauses

    explicit LaunchPacing(uint32_t firstPauseMs);

    // Reaps an ended application of `children` and paces it (TabletEnded); returns how it ended,
    // nothing when none has. Never blocks.
    std::optional<TabletEnd> ReapTablet(TabletChild& children, StatusSink* sink, uint32_t now);
    // Shows how a started application ended and, when that begins a pause, "Torvix ended after
    // 2 s, 3 times: next start in 40 s". `startNow` (a roll back put the previous version in
    // place): no pause, the count of quick ends starts again.
    void TabletEnded(const TabletEnd& end, bool startNow, StatusSink* sink, uint32_t now);
    // True when no start pause is in force.
    bool MayLaunch(uint32_t now) const { return runs_.Ready(now); }
    // True when no download pause is in force.
    bool MayDownload(uint32_t now) const { return downloads_.Ready(now); }
    // After a download: success arms the next version check's comparison; a failure begins a
    // pause and shows "Download failed (<cause>): next try in 10 s".
    void DownloadDone(bool ok, const std::string& cause, StatusSink* sink, uint32_t now);
    // The version check found the installed version (`matches`: equal to the gateway's). After a
    // download a mismatch begins a pause ("Version still differs after download: next try in
    // 20 s"); a match clears the download pause. True when a pause began here.
    bool VersionSeen(bool matches, StatusSink* sink, uint32_t now);
    // Forgets everything and takes a new first pause.
    void Reset(uint32_t firstPauseMs);

    // What the status report reads: the last end seen and the last download's outcome, each
    // with its tick; the pauses left at tick `now` and the failures in a row behind them.
    struct EndSeen {
        TabletEnd end;
        uint32_t at;
    };
    struct DownloadSeen {
        bool ok;
        std::string cause;
        uint32_t at;
    };
    const std::optional<EndSeen>& LastEnd() const { return lastEnd_; }
    const std::optional<DownloadSeen>& LastDownload() const { return lastDownload_; }
    uint32_t StartPauseMs(uint32_t now) const { return runs_.MsLeft(now); }
    uint32_t DownloadPauseMs(uint32_t now) const { return downloads_.MsLeft(now); }
    uint32_t QuickEnds() const { return runs_.Failures(); }
    uint32_t DownloadFailures() const { return downloads_.Failures(); }

private:
    RestartBackoff runs_;
    RestartBackoff downloads_;
    bool verifyDownload_ = false;
    std::optional<EndSeen> lastEnd_;
    std::optional<DownloadSeen> lastDownload_;
};
