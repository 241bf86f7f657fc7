#include "QUILLON/application.h"

#include <cstdio>
#include <new>

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/envexpand.h"
#include "COMMON/BM_UI/winapi.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/mainwnd.h"
#include "QUILLON/programstate.h"
#include "QUILLON/quillon.h"
#include "QUILLON/supervisor.h"
#include "QUILLON/trayicon.h"

namespace {
// Creates the program-wide gateway client and hands it the identity; false when it cannot be
// made (nothing else can run without it).
bool CreateGatewayClient(const BmString& adapterText, const std::string& deviceName) {
    gGatewayClient = new (std::nothrow) BmServer();
    if (gGatewayClient == nullptr) {
        return false;
    }
    gGatewayClient->SetClientType(ClientTypeFromEnvironment());
    gGatewayClient->SetMacAddress(adapterText);
    if (!deviceName.empty()) {
        gGatewayClient->SetName(deviceName.c_str());
    }
    gGatewayClient->Start();
    return true;
}

void Teardown() {
    RemoveTrayIcon();
    BmServer* client = gGatewayClient;
    gGatewayClient = nullptr;  // the assertion reporter must not send through a dying client
    delete client;
    DestroyTrayIcons();
    ReleaseProgramMutexes();
}
}  // namespace

int32_t RunApplication(const BmString& adapterText, const std::string& deviceName) {
    InstallTerminationHandlers();
    if (!CreateGatewayClient(adapterText, deviceName)) {
        std::fputs("quillon: cannot create the gateway client; stopping\n", stderr);
        ReleaseProgramMutexes();
        return kExitNoGatewayClient;
    }
    if (gMainWindowObject != nullptr) {
        BM_ASSERT_REPORT();
    }
    gMainWindowObject = new QuillonWnd();
    gMainWindowObject->CreateMainWindow(SW_SHOW);
    LoadTrayIcons();
    AddTrayIcon(QuillonWnd::GetWindowHandle(), gGatewayClient->IsConnected());

    // Without a live window (creation failed) the loop reports that and returns 0 at once.
    const int32_t result = gMainWindowObject->RunSupervisor();
    if (gMainWindowObject != nullptr) {
        // The loop ended without WM_DESTROY (WM_CLOSE, WM_QUIT or no window): delete it here.
        delete gMainWindowObject;
        gMainWindowObject = nullptr;
    }
    Teardown();
    return result;
}
