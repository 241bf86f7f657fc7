// QuillonWnd: the launcher's one full-screen window, the view of the launcher core. A grey
// information panel across the top (label left, value from the middle, yellow) drawn from the
// core's state, and below it the status log (green on black, newest line lowest). It receives
// the gateway client's connection changes, forwards taps and commands to the core, and runs the
// supervisor loop over the core.
#pragma once

#include <cstdint>

#include "COMMON/BM_COMM/gatewaylistener.h"
#include "COMMON/BM_UI/winapi.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "COMMON/BM_UTIL/valuelist.h"
#include "QUILLON/launcherview.h"
#include "QUILLON/statusruns.h"
#include "QUILLON/trayicon.h"

class Launcher;

class QuillonWnd : public GatewayListener, public LauncherView {
public:
    static constexpr int32_t kMaxStatusLines = 50;
    static constexpr int32_t kRowPitch = 14;
    static constexpr int32_t kTextMargin = 5;
    static constexpr COLORREF kPanelTextColor = RGB(255, 255, 0);
    static constexpr COLORREF kStatusTextColor = RGB(100, 255, 100);  // also the download bar
    static constexpr COLORREF kProgressTrackColor = RGB(80, 80, 80);

    // The view of `launcher` (which outlives it); registers with the launcher's gateway client.
    explicit QuillonWnd(Launcher& launcher);
    // Stops being the live window first (Detach), unregisters, frees the status lines and panel.
    ~QuillonWnd() override;
    QuillonWnd(const QuillonWnd&) = delete;
    QuillonWnd& operator=(const QuillonWnd&) = delete;

    // Registers "CQuillonWnd", makes this the live window and the launcher's view, creates the
    // window over the work area and shows it with `showCommand`, builds the panel and adds
    // "Quillon Startup". False (and not live) when creation failed.
    bool CreateMainWindow(int32_t showCommand);
    // Stops being the live window and the launcher's view (WM_DESTROY, or the destructor): the
    // one place the live window pointer is cleared. Its status lines are dropped from then on.
    void Detach();

    // Appends a copy of `text` to the status log (dropping the oldest beyond 50), echoes it on
    // standard error and repaints. Dropped while this is not the live window object.
    void AddStatusLine(const BmString& text);
    // Rebuilds the panel rows from the launcher's state (no repaint). Nothing while not live.
    void RebuildInfoPanel() override;
    // Invalidates the panel strip and repaints it at once.
    void InvalidateInfoPanel();
    void AddInfoRow(BmString label, BmString value);
    void ClearInfoPanel();
    // Draws the whole window into `dc`.
    void PaintWindow(HDC dc);
    // Draws the whole window off screen and copies it to the window in one block.
    void RepaintBuffered();
    // Shows a bar of `received` / `total` across the bottom of the panel strip (total 0: none)
    // and repaints the window at once, messages being not dispatched while a download runs.
    void ShowDownloadProgress(int32_t received, int32_t total) override;
    // Shows or hides the window.
    void ShowLauncher(bool shown) override;
    // Posts WM_DESTROY to the window; false when it could not be posted.
    bool RequestExit() override;

    // The launcher's main loop (RunLauncherLoop over the core); returns the exit code: 1 when the
    // wParam of the last message taken is non-zero, else 0. Blocks until the window goes away.
    int32_t RunSupervisor();
    Launcher& Core() { return launcher_; }
    // The notification-area icon; its picture follows the connection.
    TrayIcon& Tray() { return tray_; }

    // GatewayListener: a status line, the panel and the tray icon follow the connection.
    void OnConnectionChanged(bool connected) override;
    // StatusSink: discovery's lines become status lines.
    void ShowStatus(BmString text) override { AddStatusLine(text); }

    // The live window's handle (null when there is none).
    static HWND GetWindowHandle();
    static BmString YesNo(int32_t flag);
    // The class's window procedure.
    static LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    // Inspection, for the tests.
    int32_t StatusLineCount() const { return statusLines_.Count(); }
    BmString StatusLineAt(int32_t index) const;
    int32_t InfoRowCount() const { return infoLabels_.Count(); }
    BmString InfoLabelAt(int32_t index) const;
    BmString InfoValueAt(int32_t index) const;

    // Set when a tap closed the menu, so that this tap does not open it again.
    int32_t menuJustClosed = 0;

private:
    void DrawStatusLog(HDC dc, int32_t top, int32_t height);
    // A drawn row's text: the line, and after it the count of a run ("  \u00D737").
    static BmString RowText(const StatusRuns::Row& row);
    void DrawProgressBar(HDC dc, int32_t top, int32_t width);
    static void FreeStrings(ValueList& list);
    static BmString StringAt(const ValueList& list, int32_t index);

    Launcher& launcher_;
    HWND hwnd_ = nullptr;
    TrayIcon tray_;
    ValueList statusLines_;                  // owned BmString*, oldest first
    StatusRuns drawnRows_{kMaxStatusLines};  // what the log draws: a run of equal lines is one row
    ValueList infoLabels_;                   // owned BmString*, top row first
    ValueList infoValues_;                   // parallel to infoLabels_
    int32_t progressReceived_ = 0;
    int32_t progressTotal_ = 0;  // 0: no download, no bar
};

// The window object the window procedure serves (null before creation and after destruction).
QuillonWnd* LiveWindow();
