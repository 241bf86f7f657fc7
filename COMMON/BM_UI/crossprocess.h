// Windows of other processes (crossprocess.cpp): each top-level window's datagram socket, the
// lookup of another process's window and posting to it. Internal to COMMON/BM_UI.
#pragma once

#include <string>

#include "COMMON/BM_UI/uirecords.h"

// Binds the window's socket (replacing one left by a dead process); notes a failure on stderr.
void OpenWindowSocket(BmWindow& window);
// Closes and removes the window's socket, if it has one.
void CloseWindowSocket(BmWindow& window);
// Takes the datagrams waiting on every window's socket (a bounded number each). Never waits.
void PumpWindowSockets();
// Another process's live window of that class and title, or nullptr.
HWND FindRemoteWindow(const std::u16string& className, const std::u16string& title);
// Sends a posted message to another process's window; false when it could not be delivered.
// Waits at most 250 ms on a full queue.
bool PostRemoteMessage(BmWindow& remote, UINT message, WPARAM wParam, LPARAM lParam);
// Carries out one control request (the text after the "QUI1 " prefix) for the window; false when
// it is malformed (uicontrol.cpp).
bool HandleControlRequest(BmWindow& window, const std::string& request);
