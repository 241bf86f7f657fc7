// The layer's lines on standard error (uistate.cpp). Internal to COMMON/BM_UI.
#pragma once

#include <string>

// Prints one line ("MENU: ...", "TRAY: ...", "UI: ...") to standard error and flushes it, so that
// a test outside the process can follow.
void UiReport(const std::string& line);
