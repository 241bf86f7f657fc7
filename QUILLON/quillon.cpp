#include "QUILLON/quillon.h"

#include <cstdio>

#include "COMMON/BM_OS/namedmutex.h"
#include "COMMON/BM_UI/winapi.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/application.h"
#include "QUILLON/assertreport.h"
#include "QUILLON/commandids.h"
#include "QUILLON/identity.h"
#include "QUILLON/startupcheck.h"
#include "QUILLON/statusecho.h"

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

bool BecomeFirstInstance(NamedMutex& instance) {
    if (instance.Create(kInstanceMutexName)) {
        if (instance.Wait(kInstanceWaitMs) == WaitResult::Signalled) {
            return true;
        }
        instance.Close();
    }
    NotifyFirstInstance();
    return false;
}

int QuillonMain(const std::string& commandLine, const std::string& invokedPath) {
    InstallAssertionReporter();
    if (const std::string problem = ConfigurationProblem(); !problem.empty()) {
        EchoDiagnosticLine("quillon: " + problem, kJournalError);
        return kExitConfigurationError;
    }
    // Held for the life of the launcher; released and closed when this returns.
    NamedMutex instance;
    if (!BecomeFirstInstance(instance)) {
        return 0;
    }
    if (RunsFromNetworkLocation(invokedPath)) {
        MessageBoxW(nullptr, kNetworkDriveText, kNetworkDriveTitle, MB_OK);
        instance.Release();
        return 0;
    }
    const BmString adapterText = AdapterAddressText();
    const std::string deviceName = DeviceName(commandLine);
    const int result = RunApplication(adapterText, deviceName);
    instance.Release();
    return result;
}
