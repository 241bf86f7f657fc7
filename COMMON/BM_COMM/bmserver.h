// BmServer: the program's single gateway client. Owns the transport, discovers and connects
// to the gateway, and delivers each received message to the listener whose id it carries.
// Everything happens inside Poll; there is no thread and no timer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmsocket.h"
#include "COMMON/BM_COMM/gatewaylistener.h"
#include "COMMON/BM_COMM/statussink.h"
#include "COMMON/BM_OS/envexpand.h"
#include "COMMON/BM_UTIL/bmstring.h"

class BmServer : public GatewayListener, private ConnectionObserver {
public:
    // Poll results.
    static constexpr int32_t kPollFailed = 0;   // link down and not made, or found dead
    static constexpr int32_t kPollIdle = 1;     // nothing happened (or not started)
    static constexpr int32_t kPollHandled = 2;  // one message delivered or set aside
    static constexpr size_t kMaxPendingMessages = 512;
    // Set-aside messages may hold at most this many bytes in all: 512 messages near the size
    // limit would otherwise hold half a gigabyte of a tablet's memory.
    static constexpr size_t kMaxPendingBytes = 16u * 1024 * 1024;
    static constexpr size_t kNameBytes = 32;  // 31 characters and a terminator
    static constexpr int32_t kIdentityTexts = HelloIdentity::kTexts;

    BmServer();
    ~BmServer() override;

    // Keeps the first 31 bytes of `name` (null: empty), the system name discovery looks for.
    void SetName(const char* name);
    const char* GetName() const { return name_; }
    // Identity text 1, the adapter-address text (kept wide).
    void SetMacAddress(const BmString& text);
    // A copy of identity text `index` (1-4); an empty text for any other index.
    BmString GetIdentityText(int32_t index) const;
    // The client type the hello carries (kClientTypeDefault, or kClientTypeOem with RUNTIMEOEMREV).
    void SetClientType(int32_t type);
    int32_t ClientType() const { return identity_.clientType; }

    // Enables connecting, drops a live connection and makes one discovery-and-connect attempt.
    bool Start();
    bool IsConnected() const { return transport_->IsConnected(); }
    BmSocket& Connection() { return *transport_; }

    // Sends `message` whole; false when there is none or the link failed (then it is down).
    // Nothing is queued.
    bool Send(BmMsg* message);

    // Handles at most one message. `filter` REQUEST_ID_ALL (or 0) is a general poll: it
    // announces connection changes and reconnects (REQUEST_ID_ALL also keeps the link alive);
    // any other filter polls for one requester, setting other messages aside. Waits at most
    // `waitMs` in the transport and keeps reading while bytes arrive, but for no longer than
    // `waitMs` in all (one read at least), so a trickling peer cannot hold the caller.
    // Returns a kPoll* value.
    int32_t Poll(StatusSink* sink, uint16_t filter, int32_t waitMs);

    // The next listener id: 1 .. 0x7FFE, wrapping to 1; never 0 or REQUEST_ID_ALL.
    uint16_t NextListenerId();
    // Registers `listener` at the end; false (and an assertion report) if already there.
    bool AddListener(GatewayListener* listener);
    void RemoveListener(GatewayListener* listener);
    GatewayListener* FindListener(uint16_t id) const;
    bool IsRegistered(const GatewayListener* listener) const;
    size_t ListenerCount() const { return listeners_.size(); }

    // Delivers one message by its request id: REQUEST_ID_ALL to all, else the first listener
    // with that id; ids with the top bit set are reported and dropped.
    void Dispatch(BmMsg& message);
    // These walk the listeners registered when the call starts, skipping any that unregister
    // meanwhile; listeners added during the walk are not called by it.
    void BroadcastMessage(BmMsg& message);
    void BroadcastConnectionChanged(bool connected);
    // Called on every connect and disconnect of the transport.
    void NotifyConnectionChanged() { connectionChanged_ = true; }

    // For a caller that waits on the link itself: the socket (-1 when not connected), and whether
    // a Poll has work without reading (a set-aside or buffered message).
    int WaitDescriptor() const { return transport_->Handle(); }
    bool HasReadyWork() const { return !pending_.empty() || transport_->HasBufferedWork(); }

    // Inspection.
    size_t PendingCount() const { return pending_.size(); }
    size_t PendingBytes() const { return pendingBytes_; }
    bool ConnectEnabled() const { return connectEnabled_; }

private:
    int32_t TakePending(uint16_t filter);
    int32_t HandleReadyMessage(uint16_t filter);
    std::vector<GatewayListener*> Snapshot() const { return listeners_; }
    void OnTransportChanged() override { NotifyConnectionChanged(); }

    std::unique_ptr<BmSocket> transport_;
    std::vector<GatewayListener*> listeners_;
    std::deque<std::unique_ptr<BmMsg>> pending_;
    size_t pendingBytes_ = 0;
    uint16_t nextId_ = 1;
    bool connectEnabled_ = false;
    char name_[kNameBytes] = {};
    HelloIdentity identity_;  // a copy goes to the transport on every change
    bool connectionChanged_ = false;
};
