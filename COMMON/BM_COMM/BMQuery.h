// BmQuery: one request to the gateway and a blocking wait for its reply. The query's listener
// id becomes the request id; the reply must carry that id and the request's message id + 1.
// While waiting it drives the gateway client's Poll itself with its own id as the filter.
#pragma once

#include <cstdint>
#include <memory>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/gatewaylistener.h"

class BmServer;

class BmQuery : public GatewayListener {
public:
    static constexpr uint32_t kDefaultTimeoutMs = 30000;
    static constexpr int32_t kPollWaitMs = 50;

    // Takes a listener id from `client`, which must outlive the query. Not yet registered.
    explicit BmQuery(BmServer& client);
    ~BmQuery() override;

    void SetTimeout(uint32_t ms) { timeoutMs_ = ms; }

    // Drops an earlier reply, sends `request` and waits for its reply. True only if both work;
    // `out` (may be null) then points at the reply, owned by the query until the next Run or
    // its destruction. Blocks up to the time-out.
    bool Run(BmMsg** out, BmMsg* request);
    // Registers, stamps the listener id into `request` and sends it. False when not connected
    // or the send fails.
    bool SendRequest(BmMsg* request);
    // Polls until the reply arrives, the time-out (checked before each arrival) passes, a stop
    // is asked for, or the link fails. True when a reply with the expected message id came; `out` as for Run.
    bool WaitForReply(BmMsg** out);

    // The first message with this query's id (not a broadcast) is taken as the reply.
    void OnMessage(BmMsg& message) override;

    bool IsWaiting() const { return waiting_; }
    uint16_t ExpectedMsgId() const { return expectedMsgId_; }

private:
    BmServer& client_;
    uint32_t timeoutMs_ = kDefaultTimeoutMs;
    bool waiting_ = false;
    std::unique_ptr<BmMsg> reply_;
    uint16_t expectedMsgId_ = 0;
    bool sent_ = false;
};
