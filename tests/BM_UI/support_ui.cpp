#include <stdlib.h>

#include "COMMON/BM_UI/uistate.h"
#include "tests/BM_UI/uitestsupport.h"

std::vector<Received>& ReceivedMessages() {
    static std::vector<Received> received;
    return received;
}

LRESULT RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    ReceivedMessages().push_back(Received{hwnd, message, wParam, lParam});
    if (message == WM_PAINT) {
        PAINTSTRUCT ps{};
        if (BeginPaint(hwnd, &ps)) {
            EndPaint(hwnd, &ps);
        }
        return 0;
    }
    return message == WM_CLOSE ? 0 : DefWindowProcW(hwnd, message, wParam, lParam);
}

void UseBackend(const char* name, const char* screen) {
    setenv("QUILLON_UI", name, 1);
    if (screen) {
        setenv("QUILLON_SCREEN", screen, 1);
    } else {
        unsetenv("QUILLON_SCREEN");
    }
    DropBackendForTests();
}

void UiTest::SetUp() {
    runtime_ = std::make_unique<ScratchDir>("bm-ui-test");
    runtimeDir_ = runtime_->Path();
    ASSERT_FALSE(runtimeDir_.empty());
    setenv("QUILLON_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    if (!getenv("QUILLON_UI") || std::string(getenv("QUILLON_UI")) != "x11") {
        UseBackend("headless");
    }
    ResetUiForTests();
    ReceivedMessages().clear();
}

void UiTest::TearDown() {
    ResetUiForTests();
    runtime_.reset();
}

HWND UiTest::MakeWindow(const char16_t* cls, const char16_t* title, uint32_t style, int32_t width,
                        int32_t height) {
    WNDCLASSW wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = cls;
    RegisterClassW(&wc);  // a second registration of the same class fails harmlessly
    return CreateWindowExW(0, cls, title, style, 0, 0, width, height, nullptr, nullptr, nullptr, nullptr);
}

std::vector<UINT> UiTest::Drain(int limit) {
    std::vector<UINT> ids;
    MSG msg{};
    for (int i = 0; i < limit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        ids.push_back(msg.message);
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return ids;
}
