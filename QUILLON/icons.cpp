#include "QUILLON/icons.h"

#include <array>
#include <cstdlib>

namespace {
using IconPixels = std::array<uint32_t, kIconSize * kIconSize>;

constexpr uint32_t kClear = 0x00000000;
constexpr uint32_t kOutline = 0xFF202020;
constexpr uint32_t kGreen = 0xFF20C040;
constexpr uint32_t kRed = 0xFFD02020;
constexpr uint32_t kWhite = 0xFFFFFFFF;

// Squared distance from the pixel centre to the icon centre, in quarter pixels, so the circle is symmetric.
int DistanceSquared4(int x, int y) {
    const int dx = 2 * x + 1 - kIconSize;
    const int dy = 2 * y + 1 - kIconSize;
    return dx * dx + dy * dy;
}

// Connected: a filled green disc with a dark rim.
IconPixels ConnectedPixels() {
    IconPixels px{};
    for (int y = 0; y < kIconSize; ++y) {
        for (int x = 0; x < kIconSize; ++x) {
            const int d = DistanceSquared4(x, y);
            px[y * kIconSize + x] = d <= 13 * 13 ? kGreen : d <= 15 * 15 ? kOutline : kClear;
        }
    }
    return px;
}

// Disconnected: a red ring crossed by two white diagonals.
IconPixels DisconnectedPixels() {
    IconPixels px{};
    for (int y = 0; y < kIconSize; ++y) {
        for (int x = 0; x < kIconSize; ++x) {
            const int d = DistanceSquared4(x, y);
            uint32_t c = kClear;
            if (d <= 15 * 15) {
                c = d >= 11 * 11 ? kRed : kOutline;
                if (d < 11 * 11 && (std::abs(x - y) <= 1 || std::abs(x + y - (kIconSize - 1)) <= 1)) {
                    c = kWhite;
                }
            }
            px[y * kIconSize + x] = c;
        }
    }
    return px;
}
}  // namespace

HICON IconFromResource(int32_t resourceId) {
    if (resourceId == IDI_CONNECTED) {
        const IconPixels px = ConnectedPixels();
        return CreateIconFromPixels(kIconSize, kIconSize, px.data(), resourceId);
    }
    if (resourceId == IDI_DISCONNECTED) {
        const IconPixels px = DisconnectedPixels();
        return CreateIconFromPixels(kIconSize, kIconSize, px.data(), resourceId);
    }
    return nullptr;
}
