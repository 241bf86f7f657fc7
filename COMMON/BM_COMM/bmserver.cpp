#include "COMMON/BM_COMM/bmserver.h"

#include <algorithm>
#include <cstring>

#include "COMMON/BM_COMM/statussink.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_UTIL/bmassert.h"

namespace {

constexpr uint16_t kTopBit = 0x8000;
int gBroadcastDepth = 0;  // program-wide: nested broadcasts are reported, then carried out

bool IsGeneral(uint16_t filter) {
    return filter == REQUEST_ID_ALL || filter == REQUEST_ID_NONE;
}

bool Matches(const BmMsg& message, uint16_t filter) {
    return filter == REQUEST_ID_ALL || message.RequestId() == filter;
}

}  // namespace

BmServer::BmServer() : GatewayListener(static_cast<uint16_t>(0)) {
    transport_ = std::make_unique<BmSocket>(static_cast<ConnectionObserver*>(this));
    listeners_.push_back(this);
}

BmServer::~BmServer() {
    transport_.reset();
    RemoveListener(this);
    pending_.clear();
}

void BmServer::SetName(const char* name) {
    std::memset(name_, 0, sizeof(name_));
    if (name != nullptr) {
        std::strncpy(name_, name, kNameBytes - 1);
    }
}

void BmServer::SetMacAddress(const BmString& text) {
    identity_.texts[0].Assign(text);
    transport_->SetIdentity(identity_);
}

void BmServer::SetClientType(int32_t type) {
    identity_.clientType = type;
    transport_->SetIdentity(identity_);
}

BmString BmServer::GetIdentityText(int32_t index) const {
    if (index < 1 || index > kIdentityTexts) {
        return BmString();
    }
    return BmString(identity_.texts[index - 1]);
}

bool BmServer::Start() {
    connectEnabled_ = true;
    if (transport_->IsConnected()) {
        transport_->Disconnect();
    }
    return transport_->ConnectViaDiscovery(name_, nullptr);
}

bool BmServer::Send(BmMsg* message) {
    if (!transport_) {
        BM_ASSERT_REPORT();
        return false;
    }
    if (message == nullptr) {
        return false;
    }
    const uint8_t* wire = message->WireBytes();
    return transport_->Send(message->WireSize(), wire);
}

uint16_t BmServer::NextListenerId() {
    uint16_t id = static_cast<uint16_t>(nextId_ + 1);
    if (id >= REQUEST_ID_ALL) {
        id = 1;
    }
    nextId_ = id;
    return id;
}

bool BmServer::IsRegistered(const GatewayListener* listener) const {
    return std::find(listeners_.begin(), listeners_.end(), listener) != listeners_.end();
}

bool BmServer::AddListener(GatewayListener* listener) {
    if (listener == nullptr || IsRegistered(listener)) {
        BM_ASSERT_REPORT();
        return false;
    }
    listeners_.push_back(listener);
    return true;
}

void BmServer::RemoveListener(GatewayListener* listener) {
    auto at = std::find(listeners_.begin(), listeners_.end(), listener);
    if (at != listeners_.end()) {
        listeners_.erase(at);
    }
}

GatewayListener* BmServer::FindListener(uint16_t id) const {
    for (GatewayListener* listener : listeners_) {
        if (listener->ListenerId() == id) {
            return listener;
        }
    }
    return nullptr;
}

void BmServer::Dispatch(BmMsg& message) {
    const uint16_t id = message.RequestId();
    if ((id & kTopBit) != 0) {
        BM_ASSERT_REPORT();
        return;
    }
    if (id == REQUEST_ID_ALL) {
        BroadcastMessage(message);
        return;
    }
    if (GatewayListener* listener = FindListener(id)) {
        listener->OnMessage(message);
    }
}

void BmServer::BroadcastMessage(BmMsg& message) {
    if (gBroadcastDepth > 0) {
        BM_ASSERT_REPORT();
    }
    ++gBroadcastDepth;
    // A listener may register or unregister others (or itself) from its handler: walk the
    // list as it was, and skip whoever is gone by the time its turn comes.
    for (GatewayListener* listener : Snapshot()) {
        if (IsRegistered(listener)) {
            message.Rewind();
            listener->OnMessage(message);
        }
    }
    --gBroadcastDepth;
}

void BmServer::BroadcastConnectionChanged(bool connected) {
    for (GatewayListener* listener : Snapshot()) {
        if (IsRegistered(listener)) {
            listener->OnConnectionChanged(connected);
        }
    }
}

int32_t BmServer::TakePending(uint16_t filter) {
    for (auto at = pending_.begin(); at != pending_.end(); ++at) {
        if (Matches(**at, filter)) {
            std::unique_ptr<BmMsg> message = std::move(*at);
            pending_.erase(at);
            pendingBytes_ -= message->WireSize();
            Dispatch(*message);
            return kPollHandled;
        }
    }
    return -1;
}

int32_t BmServer::Poll(StatusSink* sink, uint16_t filter, int32_t waitMs) {
    const int32_t fromQueue = TakePending(filter);
    if (fromQueue >= 0) {
        return fromQueue;
    }
    const bool general = IsGeneral(filter);
    if (transport_->IsConnected()) {
        transport_->Service();
        if (filter == REQUEST_ID_ALL && transport_->CheckLiveness()) {
            transport_->Disconnect();
            return kPollFailed;
        }
    } else {
        if (connectionChanged_ && general) {
            connectionChanged_ = false;
            BroadcastConnectionChanged(false);
        }
        if (!general) {
            return kPollFailed;
        }
        if (!connectEnabled_) {
            return kPollIdle;
        }
        if (!transport_->ConnectViaDiscovery(name_, sink)) {
            return kPollFailed;
        }
    }
    if (connectionChanged_ && general) {
        connectionChanged_ = false;
        BroadcastConnectionChanged(transport_->IsConnected());
    }
    const uint32_t start = GetTickCount();
    const uint32_t limit = waitMs > 0 ? static_cast<uint32_t>(waitMs) : 0;
    BmSocket::PollResult result;
    do {
        result = transport_->Poll(waitMs);
    } while (result == BmSocket::Received && ElapsedSince(start) < limit);
    if (result == BmSocket::Received) {
        result = transport_->Poll(-1);  // the last read may have completed a message
    }
    if (result != BmSocket::MessageReady) {
        return result == BmSocket::Closed ? kPollFailed : kPollIdle;
    }
    return HandleReadyMessage(filter);
}

int32_t BmServer::HandleReadyMessage(uint16_t filter) {
    BmSocket& link = *transport_;
    uint32_t available = 0;
    uint8_t* bytes = link.NextMessage(&available);
    if (bytes == nullptr) {
        return kPollFailed;
    }
    BmMsg message;
    message.Wrap(bytes, available);
    const uint32_t size = message.WireSize();
    const uint32_t generation = link.Generation();
    link.PinBuffer();
    if (Matches(message, filter)) {
        Dispatch(message);
    } else if (pending_.size() < kMaxPendingMessages && pendingBytes_ + size <= kMaxPendingBytes) {
        pending_.push_back(message.Clone());
        pendingBytes_ += size;
    } else {
        BM_ASSERT_REPORT();  // nobody collects them: drop the backlog and this one
        pending_.clear();
        pendingBytes_ = 0;
    }
    // A handler that broke the link took the message's bytes with it: nothing left to remove.
    if (link.Generation() == generation) {
        link.Consume(bytes, size);
    }
    link.UnpinBuffer();
    return kPollHandled;
}
