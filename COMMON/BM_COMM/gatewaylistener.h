// GatewayListener: base of every object that exchanges messages with the gateway. Its 16-bit
// listener id is the request id of what it sends; the gateway client delivers each received
// message to the listener whose id the message carries (REQUEST_ID_ALL: to every listener).
#pragma once

#include <concepts>
#include <cstdint>

class BmMsg;

// Anything that hands out listener ids (the gateway client does): 1 .. 0x7FFE, never 0.
template <class T>
concept ListenerIdSource = requires(T& source) {
    { source.NextListenerId() } -> std::convertible_to<uint16_t>;
};

class GatewayListener {
public:
    // Takes a fresh id from `ids` (the gateway client). Does not register the listener.
    template <ListenerIdSource Ids>
    explicit GatewayListener(Ids& ids) : listenerId_(ids.NextListenerId()) {}
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
