// The headless backend: no display. Windows are their backing images (read by tests), the screen
// size comes from QUILLON_SCREEN, menus take the injected choice, the tray icon is state only.
#include <cstdlib>
#include <string>

#include "COMMON/BM_UI/headless/headlessinput.h"
#include "COMMON/BM_UI/uibackend.h"
#include "COMMON/BM_UI/uireport.h"

namespace {
constexpr int32_t kDefaultWidth = 800;
constexpr int32_t kDefaultHeight = 480;
constexpr int32_t kMaxSide = 10000;

// "WIDTHxHEIGHT" with each side in 1..10000; false for anything else.
bool ParseScreen(const char* text, int32_t* width, int32_t* height) {
    if (!text) {
        return false;
    }
    const std::string s(text);
    const size_t x = s.find('x');
    if (x == std::string::npos || x == 0 || x + 1 >= s.size() || x > 5 || s.size() - x - 1 > 5) {
        return false;
    }
    int32_t v[2] = {0, 0};
    const std::string parts[2] = {s.substr(0, x), s.substr(x + 1)};
    for (int i = 0; i < 2; ++i) {
        for (char c : parts[i]) {
            if (c < '0' || c > '9') {
                return false;
            }
            v[i] = v[i] * 10 + (c - '0');
        }
        if (v[i] < 1 || v[i] > kMaxSide) {
            return false;
        }
    }
    *width = v[0];
    *height = v[1];
    return true;
}

class HeadlessBackend final : public UiBackend {
public:
    HeadlessBackend() {
        const char* env = std::getenv("QUILLON_SCREEN");
        if (!ParseScreen(env, &width_, &height_)) {
            if (env && *env) {
                UiReport("UI: QUILLON_SCREEN is not WIDTHxHEIGHT within 1..10000, using 800x480");
            }
            width_ = kDefaultWidth;
            height_ = kDefaultHeight;
        }
    }

    const char* Name() const override { return "headless"; }
    RECT ScreenRect() override { return RECT{0, 0, width_, height_}; }
    RECT WorkArea() override { return ScreenRect(); }
    bool CreateNative(HWND, const RECT&, const std::u16string&, const std::u16string&,
                      uintptr_t* native) override {
        *native = 0;
        return true;
    }
    void DestroyNative(uintptr_t) override {}
    void SetVisible(uintptr_t, bool) override {}
    void SetTitle(uintptr_t, const std::u16string&) override {}
    void Present(uintptr_t, cairo_surface_t*) override {}
    void Raise(uintptr_t, bool) override {}
    void Pump() override {}
    uintptr_t TrackMenu(const std::vector<BmMenuItem>& items, int32_t, int32_t, UINT, uint32_t) override {
        return HeadlessInput::Instance().ConsumeChoice(items);
    }
    void TrayChanged(bool, cairo_surface_t*) override {}
    bool TrayDocked() override { return false; }
    RECT TrayIconRect() override { return RECT{}; }
    void SetUiCursorShape(UiCursorShape) override {}
    bool QueryCursorPos(POINT*) override { return false; }

private:
    int32_t width_ = kDefaultWidth;
    int32_t height_ = kDefaultHeight;
};
}  // namespace

std::unique_ptr<UiBackend> MakeHeadlessBackend() {
    return std::make_unique<HeadlessBackend>();
}
