#include "QUILLON/devicedata.h"

#include <sys/stat.h>

#include "COMMON/BM_OS/bmfile.h"
#include "COMMON/BM_OS/devicepath.h"

namespace {
constexpr const char* kDeviceDataFolder = "\\NANDFLASH";
constexpr mode_t kFolderMode = 0755;
}  // namespace

void LoadDeviceData(int32_t& devMode) {
    BmFile file{BmString(kDeviceDataPath)};
    if (!file.Open(ModeRead, 0)) {
        return;
    }
    int32_t stored = 0;
    if (file.ReadInt32(&stored)) {
        // Any non-zero value means on; the program itself only ever uses 0 and 1.
        devMode = stored != 0 ? 1 : 0;
    }
}

void SaveDeviceData(int32_t devMode) {
    // A fresh device root has no flash folder yet; without it the setting would never persist.
    // A failure shows up as the open failing below.
    mkdir(DeviceFilePath(kDeviceDataFolder).c_str(), kFolderMode);
    BmFile file{BmString(kDeviceDataPath)};
    if (!file.Open(ModeCreate, 0)) {
        return;
    }
    file.WriteInt32(devMode != 0 ? 1 : 0);
}
