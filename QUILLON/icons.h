// The program's two built-in 16 x 16 icons: 101 while the gateway is connected, 102 while not.
#pragma once

#include <cstdint>

#include "COMMON/BM_UI/winapi.h"

constexpr int32_t IDI_CONNECTED = 101;
constexpr int32_t IDI_DISCONNECTED = 102;
constexpr int32_t kIconSize = 16;

// Loads icon resource 101 or 102 as a new 16 x 16 icon (release it with DestroyIcon).
// Returns nullptr for any other id.
HICON IconFromResource(int32_t resourceId);
