// The device data file "\NANDFLASH\DEV.DAT": devMode as 4 little-endian bytes.
#pragma once

#include <cstdint>

// The device data file's device path.
constexpr const char* kDeviceDataPath = "\\NANDFLASH\\DEV.DAT";

// Reads devMode from the file: any non-zero value is on (1). A missing file or one shorter than
// 4 bytes leaves `devMode` unchanged. Nothing is reported.
void LoadDeviceData(int32_t& devMode);

// Writes devMode (0 or 1) as the file's only 4 bytes, creating the NANDFLASH folder under the
// device root when missing. A file that cannot be created is silently not written.
void SaveDeviceData(int32_t devMode);
