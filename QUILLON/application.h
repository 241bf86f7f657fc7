// The application assembly: creates the gateway client, the main window and the tray icon,
// runs the supervisor loop and tears everything down in a fixed order.
#pragma once

#include <cstdint>
#include <string>

#include "COMMON/BM_UTIL/bmstring.h"

// Exit code when the gateway client cannot be created.
constexpr int32_t kExitNoGatewayClient = 3;

// Runs the launcher with the adapter-address text and the device name (possibly empty) and
// returns the exit code: the supervisor loop's result, or kExitNoGatewayClient (after a message
// on standard error) when the gateway client cannot be created. SIGTERM and SIGINT end it as
// "Exit" does. Blocks until the launcher ends.
int32_t RunApplication(const BmString& adapterText, const std::string& deviceName);
