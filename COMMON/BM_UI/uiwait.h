// What a program that waits for events needs from the window layer (messagequeue.cpp).
#pragma once

#include <poll.h>

#include <vector>

// Appends the descriptors whose input the window layer turns into messages (the window-system
// connection, every window's control socket), POLLIN each. Never waits.
void AppendUiWaitDescriptors(std::vector<pollfd>* fds);

// True when PeekMessageW would find something without new input: a queued message, a quit
// request, a window to paint, or window-system events already read. Never waits.
bool UiWorkPending();
