// Device paths: "\" is the device root (QUILLON_ROOT, default /var/lib/quillon).
// Every file operation on a device path goes through DeviceFilePath.
#pragma once

#include <string>

// The device root folder, without a trailing slash.
std::string DeviceRoot();

// "\A\B" -> "<root>/A/B". A path that does not begin with "\" is returned unchanged.
std::string DeviceFilePath(const char* path);
