#include "QUILLON/application.h"

#include <cstdio>
#include <memory>
#include <new>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/envexpand.h"
#include "COMMON/BM_OS/runtimedir.h"
#include "COMMON/BM_UI/winapi.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/assertreport.h"
#include "QUILLON/launcher.h"
#include "QUILLON/mainwnd.h"
#include "QUILLON/programnames.h"
#include "QUILLON/servicereport.h"
#include "QUILLON/signals.h"
#include "QUILLON/statusecho.h"
#include "QUILLON/updatetrust.h"

namespace {
// Creates the gateway client and hands it the identity; null when it cannot be made (nothing
// else can run without it).
std::unique_ptr<BmServer> CreateGatewayClient(const BmString& adapterText, const std::string& deviceName) {
    std::unique_ptr<BmServer> client(new (std::nothrow) BmServer());
    if (client == nullptr) {
        return nullptr;
    }
    client->SetClientType(ClientTypeFromEnvironment());
    client->SetMacAddress(adapterText);
    if (!deviceName.empty()) {
        client->SetName(deviceName.c_str());
    }
    client->Start();
    return client;
}

// Loads the trusted keys the start-up check found usable, and says once when nothing is checked.
void LoadTrust(UpdateTrust& trust) {
    std::string problem;
    if (!trust.Load(TrustedKeys::ConfiguredFolder(), &problem)) {
        // Changed since the start-up check: refuse every update rather than check none.
        EchoDiagnosticLine("quillon: " + problem + ": every update is refused");
    } else if (const std::string note = trust.StartNote(); !note.empty()) {
        EchoDiagnosticLine(note);
    }
}
}  // namespace

int32_t RunApplication(const BmString& adapterText, const std::string& deviceName) {
    InstallSignalHandlers();
    // First, before any thread: it takes the service manager's settings out of the environment.
    // The instance lock is held, so the status socket in the runtime folder is ours to replace.
    Service().Begin(RuntimeDir());
    std::unique_ptr<BmServer> client = CreateGatewayClient(adapterText, deviceName);
    if (client == nullptr) {
        EchoDiagnosticLine("quillon: cannot create the gateway client; stopping", kJournalError);
        Service().End();
        return kExitNoGatewayClient;
    }
    SetAssertionClient(client.get());
    int32_t result = 0;
    {
        Launcher launcher(client.get());
        LoadTrust(*launcher.Trust());
        if (!launcher.ShutdownMutex().Create(kShutdownMutexName)) {
            BM_ASSERT_REPORT();
        }
        QuillonWnd window(launcher);
        window.CreateMainWindow(SW_SHOW);
        window.Tray().LoadIcons();
        window.Tray().Add(QuillonWnd::GetWindowHandle(), client->IsConnected());
        // Without a live window (creation failed) the loop reports that and returns 0 at once.
        result = window.RunSupervisor();
        window.Tray().Remove();
    }
    SetAssertionClient(nullptr);  // the assertion reporter must not send through a dying client
    Service().End();
    client.reset();
    return result;
}
