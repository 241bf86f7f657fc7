// GatewayListener: base of every object that exchanges messages with the gateway. Its 16-bit
// listener id is the request id of what it sends; the gateway client delivers each received
// message to the listener whose id the message carries (REQUEST_ID_ALL: to every listener).
#pragma once

#include <cstdint>

class BmMsg;
class BmServer;

class GatewayListener {
public:
    // Takes a fresh id from `client` (NextListenerId). Does not register the listener.
    explicit GatewayListener(BmServer& client);
    // Uses `listenerId` as given (the gateway client itself uses 0).
    explicit GatewayListener(uint16_t listenerId) : listenerId_(listenerId) {}
    GatewayListener(const GatewayListener&) = delete;
    GatewayListener& operator=(const GatewayListener&) = delete;
    // Does not unregister: a derived class that registered calls RemoveListener itself.
    virtual ~GatewayListener() = default;

    // One received message addressed to this listener, borrowed for the call only (keep a Clone).
    virtual void OnMessage(BmMsg& message) { (void)message; }
    // The link went up (true) or down (false); told by the client's next general poll.
    virtual void OnConnectionChanged(bool connected) { (void)connected; }

    uint16_t ListenerId() const { return listenerId_; }

private:
    uint16_t listenerId_;
};
