// QuillonWnd: the launcher's one full-screen window. A grey information panel across the top
// (label left, value from the middle, yellow) and below it the status log (green on black,
// newest line lowest). It receives the gateway client's connection changes and runs the
// supervisor loop.
#pragma once

#include <cstdint>

#include "COMMON/BM_COMM/gatewaylistener.h"
#include "COMMON/BM_COMM/statussink.h"
#include "COMMON/BM_UI/winapi.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "COMMON/BM_UTIL/valuelist.h"

class QuillonWnd : public GatewayListener, public StatusSink {
public:
    static constexpr int32_t kMaxStatusLines = 50;
    static constexpr int32_t kRowPitch = 14;
    static constexpr int32_t kTextMargin = 5;
    static constexpr COLORREF kPanelTextColor = RGB(255, 255, 0);
    static constexpr COLORREF kStatusTextColor = RGB(100, 255, 100);  // also the download bar
    static constexpr COLORREF kProgressTrackColor = RGB(80, 80, 80);

    // Registers with the program-wide gateway client and loads devMode from the device data file.
    QuillonWnd();
    // Clears the live window object first, unregisters, frees the status lines and the panel.
    ~QuillonWnd() override;

    // Registers "CQuillonWnd", creates the window over the work area and shows it with
    // `showCommand`, builds the panel and adds "Quillon Startup". False when creation failed.
    bool CreateMainWindow(int32_t showCommand);

    // Appends a copy of `text` to the status log (dropping the oldest beyond 50), echoes it on
    // standard error and repaints. Dropped while this is not the live window object.
    void AddStatusLine(const BmString& text);
    // Rebuilds the panel rows (no repaint). Nothing while not live.
    void RebuildInfoPanel();
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
    void ShowDownloadProgress(int32_t received, int32_t total);

    // The launcher's main loop (QUILLON/supervisor.cpp); returns the exit code: 1 when the
    // wParam of the last message taken is non-zero, else 0. Blocks until the window goes away.
    int32_t RunSupervisor();

    // GatewayListener: a status line, the panel and the tray icon follow the connection.
    void OnConnectionChanged(bool connected) override;
    // StatusSink: discovery's lines become status lines.
    void ShowStatus(BmString text) override { AddStatusLine(text); }

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

    // Read and written by the supervisor loop and the command menu.
    BmString localVersion;
    BmString gatewayVersion;
    int32_t appRunning = -1;
    int32_t menuJustClosed = 0;

private:
    void DrawStatusLog(HDC dc, int32_t top, int32_t height);
    void DrawProgressBar(HDC dc, int32_t top, int32_t width);
    static void FreeStrings(ValueList& list);
    static BmString StringAt(const ValueList& list, int32_t index);

    ValueList statusLines_;  // owned BmString*, oldest first
    ValueList infoLabels_;   // owned BmString*, top row first
    ValueList infoValues_;   // parallel to infoLabels_
    int32_t progressReceived_ = 0;
    int32_t progressTotal_ = 0;  // 0: no download, no bar
};

// The window object the window procedure serves (null before creation and after destruction).
QuillonWnd* LiveWindow();
