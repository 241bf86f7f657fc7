#include "QUILLON/screenclass.h"

#include <cmath>

#include "COMMON/BM_UI/winapi.h"

namespace {
constexpr double kRatio4to3 = 0.75;
constexpr double kRatioWide = 0.65;
}  // namespace

int32_t ClassifyScreen(int32_t width, int32_t height) {
    if (width <= 240 && height <= 240) {
        return 4;
    }
    if (width <= 240 && height <= 320) {
        return 1;
    }
    if (width <= 320 && height <= 240) {
        return 3;
    }
    if (width <= 800 && height <= 480) {
        return 2;
    }
    if (width <= 800 && height <= 600) {
        return 0;
    }
    // Larger screens go by their shape; a width of 0 cannot reach here (it matched above).
    const double ratio = static_cast<double>(height) / static_cast<double>(width);
    return std::fabs(ratio - kRatio4to3) < std::fabs(ratio - kRatioWide) ? 0 : 2;
}

int32_t CurrentScreenClass() {
    return ClassifyScreen(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
}
