#include "COMMON/BM_COMM/BMQuery.h"

#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_OS/stopsignal.h"
#include "COMMON/BM_OS/waittick.h"

BmQuery::BmQuery(BmServer& client) : GatewayListener(client), client_(client) {}

BmQuery::~BmQuery() {
    client_.RemoveListener(this);
}

bool BmQuery::Run(BmMsg** out, BmMsg* request) {
    reply_.reset();
    return SendRequest(request) && WaitForReply(out);
}

bool BmQuery::SendRequest(BmMsg* request) {
    sent_ = false;
    if (request == nullptr || !client_.IsConnected()) {
        return false;
    }
    if (!client_.IsRegistered(this)) {
        client_.AddListener(this);
    }
    waiting_ = true;
    request->SetRequestId(ListenerId());
    if (!client_.Send(request)) {
        client_.RemoveListener(this);
        waiting_ = false;
        return false;
    }
    expectedMsgId_ = static_cast<uint16_t>(request->MsgId() + 1);
    sent_ = true;
    return true;
}

void BmQuery::OnMessage(BmMsg& message) {
    if (message.RequestId() == REQUEST_ID_ALL) {
        return;
    }
    reply_ = message.Clone();
    waiting_ = false;
    client_.RemoveListener(this);  // the first message with this id ends the exchange
}

bool BmQuery::WaitForReply(BmMsg** out) {
    if (!sent_) {
        return false;
    }
    const uint32_t start = GetTickCount();
    waiting_ = true;
    for (;;) {
        WaitTick();  // a bounded wait for an answer is no hang
        // Time first: a reply that lands after the time has run out does not count.
        if (ElapsedSince(start) >= timeoutMs_ || StopRequested()) {
            waiting_ = false;
            client_.RemoveListener(this);
            return false;
        }
        if (!waiting_) {
            break;
        }
        if (client_.Poll(nullptr, ListenerId(), kPollWaitMs) == BmServer::kPollFailed) {
            client_.RemoveListener(this);
            waiting_ = false;
            return false;
        }
    }
    client_.RemoveListener(this);
    if (!reply_ || reply_->MsgId() != expectedMsgId_) {
        return false;
    }
    if (out != nullptr) {
        *out = reply_.get();
    }
    return true;
}
