#include "COMMON/BM_COMM/gatewaylistener.h"

#include "COMMON/BM_COMM/bmserver.h"

GatewayListener::GatewayListener(BmServer& client) : listenerId_(client.NextListenerId()) {}
