#include "QUILLON/programstate.h"

int32_t gMonitorMode = 1;
bool gFirstConnectCheck = true;
int32_t gDevMode = 0;
NamedMutex gInstanceMutex;
NamedMutex gShutdownMutex;
BmServer* gGatewayClient = nullptr;
QuillonWnd* gMainWindowObject = nullptr;
