// The transport's framing fed an arbitrary byte stream in arbitrary splits over a real loopback
// TCP connection (the transport takes no ready-made descriptor, so it connects to a listener of
// this target's own). Reads wait 0 ms; an input costs about a millisecond or two.
// Input: [mode], then chunks: [n][n bytes] sends n bytes (n 1..254); n = 0 ends the stream
// (the peer shuts its side); n = 0xFF sends a run of [24-bit count][byte] filler bytes (up to
// about 1 MB, to reach the receive buffer's limits).
// Mode bit 0: through the gateway client's Poll, else the transport alone, whose every message
// must be exactly the next bytes of the stream. Bits 2-3: the gateway client's poll filter.
// Bit 4: the listener of id 1 drops the link on every third message. Through the gateway client,
// messages for ids 1 and 4 go to decoding listeners, id 2 to a waiting version query and id 3 to
// a downloader. The clock stands still, so no keep-alive or silence rule interferes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "COMMON/BM_COMM/BMQuery.h"
#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/bmsocket.h"
#include "COMMON/BM_COMM/downloader.h"
#include "COMMON/BM_COMM/gatewaylistener.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr uint32_t kMaxFiller = (1u << 20) + 64;
// Work one input may cause: a poll costs 1 plus one per 4 KB held in the receive buffer (every
// consumed message moves the rest down), so that a megabyte of empty messages, which would cost
// seconds, ends early while one megabyte-sized message still gets through.
constexpr int kWorkBudget = 4000;

struct Rig {
    Rig() {
        KeepDiscoveryOnLoopback();  // the client is never started, but make sure
        SetClock(&clock);
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(listener >= 0);
        MakeIPv4Address(&address, 127, 0, 0, 1, 0);
        FUZZ_CHECK(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
        FUZZ_CHECK(::listen(listener, 8) == 0);
        socklen_t n = sizeof address;
        FUZZ_CHECK(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &n) == 0);
    }
    ManualClock clock{1000};
    int listener = -1;
    sockaddr_in address{};
};

// Reads every item it can from a delivered message; optionally drops the link now and then.
class DecodingListener : public GatewayListener {
public:
    DecodingListener(uint16_t id, BmServer& client, bool dropLink)
        : GatewayListener(id), client_(client), dropLink_(dropLink) {}

    void OnMessage(BmMsg& message) override {
        const uint32_t length = message.Length();
        BmString text;
        int32_t value = 0;
        uint8_t block[16];
        for (uint32_t step = 0; step < length / 4 + 2; ++step) {
            bool ok = false;
            switch (step % 3) {
                case 0:
                    ok = message.ReadString(text);
                    break;
                case 1:
                    ok = message.ReadInt32(&value);
                    break;
                default:
                    ok = message.ReadBytes(block, sizeof block);
                    break;
            }
            FUZZ_CHECK(message.Cursor() <= message.Length());
            if (!ok && message.Remaining() == 0) {
                break;
            }
        }
        if (dropLink_ && ++seen_ % 3 == 0) {
            client_.Connection().Disconnect();
        }
    }

private:
    BmServer& client_;
    bool dropLink_;
    int seen_ = 0;
};

void CheckTransport(const BmSocket& link) {
    FUZZ_CHECK(link.ParsePos() <= link.FillLevel());
    FUZZ_CHECK(link.FillLevel() <= BmSocket::kReceiveBufferBytes);
    if (!link.IsConnected()) {
        FUZZ_CHECK(!link.HasReceiveBuffer());
        FUZZ_CHECK(link.FillLevel() == 0 && link.ParsePos() == 0);
    }
}

// Bytes the kernel holds for the client that it has not read yet.
int Unread(const BmSocket& link) {
    int pending = 0;
    if (!link.IsConnected() || ::ioctl(link.Handle(), FIONREAD, &pending) != 0) {
        return 0;
    }
    return pending;
}

class Session {
public:
    Session(Rig& rig, uint8_t mode) : viaClient_((mode & 1) != 0), filterChoice_((mode >> 2) & 3) {
        if (viaClient_) {
            client_ = std::make_unique<BmServer>();
            first_ = std::make_unique<DecodingListener>(1, *client_, (mode & 0x10) != 0);
            second_ = std::make_unique<DecodingListener>(4, *client_, false);
            client_->AddListener(first_.get());
            client_->AddListener(second_.get());
            link_ = &client_->Connection();
            query_ = std::make_unique<BmQuery>(*client_);  // the first id a fresh client gives: 2
            downloader_ = std::make_unique<Downloader>(
                *client_, nullptr, BmString((FuzzScratchDir() + "/framed-download.bin").c_str()));
            FUZZ_CHECK(downloader_->ListenerId() == 3);
        } else {
            own_ = std::make_unique<BmSocket>(nullptr);
            link_ = own_.get();
        }
        FUZZ_CHECK(link_->Connect(rig.address));
        peer_ = ::accept4(rig.listener, nullptr, nullptr, SOCK_CLOEXEC);
        FUZZ_CHECK(peer_ >= 0);
        // Closing with a reset leaves no TIME_WAIT behind, however many inputs run.
        const linger reset{1, 0};
        ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        CheckHandshake();
        if (query_) {
            // Waits for its reply among the stream's messages (the request goes unread).
            BmMsg request(REQUEST_ID_NONE, MSG_VERSION_REQUEST);
            request.AppendInt32(3);
            request.AppendInt32(2);
            request.AppendInt32(0);
            query_->SendRequest(&request);
            // As while a download runs: arrival progress of whole-file replies goes to it.
            link_->SetReceiveObserver(downloader_.get());
        }
    }

    ~Session() {
        if (peer_ >= 0) {
            ::close(peer_);
        }
        workLeft_ = 16;
        Drive();  // the reset reaches the client
        CheckTransport(*link_);
        if (client_) {
            client_->RemoveListener(first_.get());
            client_->RemoveListener(second_.get());
        }
    }

    // Sends `bytes` to the client, reading on its side whenever the peer's buffer is full.
    // False once the client is disconnected or the input's budget is spent.
    bool Feed(const uint8_t* bytes, size_t count) {
        if (!viaClient_) {
            stream_.insert(stream_.end(), bytes, bytes + count);
        }
        size_t sent = 0;
        int stalls = 0;
        while (sent < count && stalls < 64) {
            const ssize_t n = ::send(peer_, bytes + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                stalls = 0;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                ++stalls;
                if (!Drive()) {
                    break;
                }
            } else {
                break;  // the client has gone
            }
        }
        return Drive();
    }

    void EndStream() { ::shutdown(peer_, SHUT_WR); }

    // Lets the client take what has arrived; false once it is disconnected.
    bool Drive() {
        while (workLeft_ > 0) {
            const int step = workLeft_;
            workLeft_ -= 1 + static_cast<int>(link_->FillLevel() / 4096);
            const bool moved = viaClient_ ? StepClient(step) : StepTransport();
            CheckTransport(*link_);
            if (!link_->IsConnected() && (!client_ || client_->PendingCount() == 0)) {
                return false;
            }
            if (!moved && (Unread(*link_) == 0 || !link_->IsConnected())) {
                return link_->IsConnected();
            }
        }
        return false;  // out of budget: nothing more is fed
    }

private:
    void CheckHandshake() {
        uint8_t line[BmSocket::kConnectLineBytes];
        size_t got = 0;
        while (got < sizeof line) {
            pollfd entry{peer_, POLLIN, 0};
            if (::poll(&entry, 1, 1000) <= 0) {
                break;
            }
            const ssize_t n = ::recv(peer_, line + got, sizeof line - got, 0);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        FUZZ_CHECK(got == sizeof line);
        FUZZ_CHECK(std::memcmp(line, BmSocket::kConnectLine, sizeof line) == 0);
        // The hello that follows stays unread; the reset at the end discards it.
    }

    // The transport alone: every complete message is the next piece of the stream.
    bool StepTransport() {
        const BmSocket::PollResult result = link_->Poll(0);
        if (result == BmSocket::Closed) {
            FUZZ_CHECK(!link_->IsConnected());
            return false;
        }
        if (result == BmSocket::Received) {
            return true;
        }
        if (result != BmSocket::MessageReady) {
            return false;
        }
        uint32_t available = 0;
        uint8_t* message = link_->NextMessage(&available);
        FUZZ_CHECK(message != nullptr && available >= 8);
        const uint32_t size = LoadLe32(message + 4) + 8;
        FUZZ_CHECK(size >= 8 && size <= available);
        FUZZ_CHECK(size < BmSocket::kReceiveBufferBytes);
        FUZZ_CHECK(consumed_ + size <= stream_.size());
        FUZZ_CHECK(std::memcmp(message, stream_.data() + consumed_, size) == 0);
        BmMsg record;
        FUZZ_CHECK(record.Wrap(message, available));
        FUZZ_CHECK(record.WireSize() == size);
        BmString text;
        while (record.ReadString(text)) {
        }
        link_->Consume(message, size);
        consumed_ += size;
        return true;
    }

    // Through the gateway client, with the filter the mode picked (choice 3 alternates).
    bool StepClient(int step) {
        static const uint16_t kFilters[] = {REQUEST_ID_ALL, REQUEST_ID_NONE, 1};
        const uint16_t filter = filterChoice_ < 3 ? kFilters[filterChoice_] : kFilters[step % 3];
        const int32_t result = client_->Poll(nullptr, filter, 0);
        FUZZ_CHECK(client_->PendingCount() <= BmServer::kMaxPendingMessages);
        return result == BmServer::kPollHandled;
    }

    bool viaClient_;
    uint8_t filterChoice_;
    std::unique_ptr<BmServer> client_;
    std::unique_ptr<BmQuery> query_;
    std::unique_ptr<Downloader> downloader_;
    std::unique_ptr<DecodingListener> first_;
    std::unique_ptr<DecodingListener> second_;
    std::unique_ptr<BmSocket> own_;
    BmSocket* link_ = nullptr;
    int peer_ = -1;
    std::vector<uint8_t> stream_;  // what the peer sent (transport mode)
    size_t consumed_ = 0;
    int workLeft_ = kWorkBudget;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig rig;
    FuzzInput in(data, size);
    Session session(rig, in.Byte());
    while (!in.Empty()) {
        const uint8_t code = in.Byte();
        if (code == 0) {
            session.EndStream();
            session.Drive();
            break;
        }
        if (code == 0xFF) {
            const uint32_t count = (in.U16() | (static_cast<uint32_t>(in.Byte()) << 16)) % kMaxFiller;
            const std::vector<uint8_t> filler(count, in.Byte());
            if (!session.Feed(filler.data(), filler.size())) {
                break;
            }
            continue;
        }
        const std::vector<uint8_t> chunk = in.Bytes(code);
        if (!session.Feed(chunk.data(), chunk.size())) {
            break;
        }
    }
    return 0;
}
