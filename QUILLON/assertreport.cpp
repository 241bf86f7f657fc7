#include "QUILLON/assertreport.h"

#include "COMMON/BM_COMM/eventreport.h"
#include "COMMON/BM_UTIL/bmassert.h"

namespace {
// The assertion handler is a plain function that any unit may reach, so its client cannot
// belong to an object.
BmServer* gReportClient = nullptr;

void SendToGateway(const BmString& text) {
    SendEventReport(gReportClient, text);  // the outcome is not examined: a lost report is not retried
}
}  // namespace

void InstallAssertionReporter() {
    SetAssertionHandler(SendToGateway);
}

void SetAssertionClient(BmServer* client) {
    gReportClient = client;
}
