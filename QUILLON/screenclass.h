// The screen layout class sent to the gateway in the version and download requests, so that it
// serves the tablet application built for this screen.
#pragma once

#include <cstdint>

// Classifies a screen of `width` x `height` pixels: 4 (tiny square), 1 (small portrait),
// 3 (small landscape), 2 (800x480 and wide screens), 0 (800x600 and 4:3 screens).
int32_t ClassifyScreen(int32_t width, int32_t height);

// The class of the current screen (the display's full size in pixels).
int32_t CurrentScreenClass();
