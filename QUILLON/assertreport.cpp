#include "QUILLON/assertreport.h"

#include "COMMON/BM_COMM/eventreport.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "QUILLON/programstate.h"

namespace {
void SendToGateway(const BmString& text) {
    SendEventReport(gGatewayClient, text);  // the outcome is not examined: a lost report is not retried
}
}  // namespace

void InstallAssertionReporter() {
    SetAssertionHandler(SendToGateway);
}
