#include "COMMON/BM_COMM/eventreport.h"

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_UTIL/bmstring.h"

bool SendEventReport(BmServer* client, const BmString& text) {
    // Set while a report is being sent: a report raised by the send itself is dropped.
    static bool sending = false;
    if (client == nullptr || sending) {
        return false;
    }
    sending = true;
    BmString wide(text);
    wide.ToWide();
    BmMsg report(REQUEST_ID_NONE, MSG_EVENT_REPORT);
    bool sent = report.AppendString(wide) && client->Send(&report);
    sending = false;
    return sent;
}
