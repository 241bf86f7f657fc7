// Shared fixture of the window-system tests: a private runtime folder, a fresh layer per test and
// a procedure that records what it receives.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "COMMON/BM_UI/uicontrol.h"
#include "COMMON/BM_UI/winapi.h"
#include "tests/support/scratch_dir.h"

struct Received {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// Everything RecordingProc saw, in order. WM_PAINT is validated with BeginPaint/EndPaint.
std::vector<Received>& ReceivedMessages();
LRESULT RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

class UiTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Registers (once per test) class `cls` with RecordingProc and creates a window of it.
    HWND MakeWindow(const char16_t* cls, const char16_t* title,
                    uint32_t style = WS_POPUP | WS_VISIBLE | WS_CAPTION, int32_t width = 800,
                    int32_t height = 480);
    // Takes and dispatches messages until none is left (at most `limit`); returns their ids.
    std::vector<UINT> Drain(int limit = 100);

    std::unique_ptr<ScratchDir> runtime_;
    std::string runtimeDir_;
};

// Picks the backend for the next call into the layer (headless unless told otherwise).
void UseBackend(const char* name, const char* screen = nullptr);
