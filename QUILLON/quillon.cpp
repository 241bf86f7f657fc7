#include "QUILLON/quillon.h"

#include <cstdio>

#include "COMMON/BM_UI/winapi.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/application.h"
#include "QUILLON/assertreport.h"
#include "QUILLON/commandids.h"
#include "QUILLON/identity.h"
#include "QUILLON/programstate.h"
#include "QUILLON/startupcheck.h"

namespace {
constexpr uint32_t kInstanceWaitMs = 100;
constexpr char16_t kNetworkDriveText[] = u"ERROR: Quillon Should not be run from a network drive";
constexpr char16_t kNetworkDriveTitle[] = u"Brenmoor Quillon";

void NotifyFirstInstance() {
    HWND first = FindWindowW(kMainWindowClass, kMainWindowTitle);
    if (first != nullptr) {
        PostMessageW(first, WM_COMMAND, IDM_STARTUP_DEFAULTS, 0);
    }
}
}  // namespace

bool BecomeFirstInstance() {
    if (gInstanceMutex.Create(kInstanceMutexName)) {
        if (gInstanceMutex.Wait(kInstanceWaitMs) == WaitResult::Signalled) {
            return true;
        }
        gInstanceMutex.Close();
    }
    NotifyFirstInstance();
    return false;
}

void ReleaseProgramMutexes() {
    gInstanceMutex.Release();
    gInstanceMutex.Close();
    gShutdownMutex.Release();
    gShutdownMutex.Close();
}

int QuillonMain(const std::string& commandLine, const std::string& invokedPath) {
    InstallAssertionReporter();
    if (const std::string problem = ConfigurationProblem(); !problem.empty()) {
        std::fprintf(stderr, "quillon: %s\n", problem.c_str());
        return kExitConfigurationError;
    }
    if (!BecomeFirstInstance()) {
        return 0;
    }
    if (RunsFromNetworkLocation(invokedPath)) {
        MessageBoxW(nullptr, kNetworkDriveText, kNetworkDriveTitle, MB_OK);
        ReleaseProgramMutexes();
        return 0;
    }
    if (!gShutdownMutex.Create(kShutdownMutexName)) {
        BM_ASSERT_REPORT();
    }
    const BmString adapterText = AdapterAddressText();
    const std::string deviceName = DeviceName(commandLine);
    return RunApplication(adapterText, deviceName);
}
