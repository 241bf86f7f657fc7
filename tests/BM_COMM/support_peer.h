// Helpers for the tests that run the gateway client against the real gateway peer program over
// loopback: a private discovery port, the peer process, a client session and file helpers.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_COMM/bmserver.h"
#include "COMMON/BM_COMM/eventreport.h"
#include "COMMON/BM_COMM/gatewaylistener.h"
#include "COMMON/BM_COMM/statussink.h"
#include "COMMON/BM_UTIL/bmassert.h"
#include "tests/support/env_guard.h"
#include "tests/support/files.h"
#include "tests/support/peer_process.h"

// Named apart from the folder's other helpers, which share one support library with these.
namespace peertest {

// A discovery port of the test's own, put into QUILLON_DISCOVERY as 127.255.255.255:<port>
// for the scope, so no ping ever leaves loopback.
class PrivateDiscovery {
public:
    PrivateDiscovery();
    int Port() const { return port_; }

private:
    int port_;
    EnvGuard env_;
};

// The gateway peer on a given discovery port; killed on destruction (also when a test fails).
class SimPeer {
public:
    // Starts the peer with `args` (discovery port and a time limit are added). False when it
    // did not come up; the reason is in Transcript().
    bool Start(int discoveryPort, std::vector<std::string> args);
    int TcpPort() const { return tcpPort_; }
    PeerProcess& Process() { return process_; }
    // Waits up to `timeoutMs` for a line beginning with `prefix`, at index `from` or later.
    bool Saw(const std::string& prefix, int timeoutMs = 2000, size_t from = 0) {
        return process_.WaitForLine(prefix, timeoutMs, from).has_value();
    }
    std::string Line(const std::string& prefix, int timeoutMs = 2000) {
        return process_.WaitForLine(prefix, timeoutMs).value_or("");
    }
    size_t Count(const std::string& prefix) const { return process_.CountLines(prefix); }
    size_t Mark() const { return process_.LineCount(); }
    std::string Transcript() const { return process_.Transcript(); }
    void Kill() { process_.Stop(); }

private:
    PeerProcess process_;
    int tcpPort_ = -1;
};

// Records what the gateway client tells its listeners.
class RecordingListener : public GatewayListener {
public:
    explicit RecordingListener(BmServer& client);
    ~RecordingListener() override;
    void OnConnectionChanged(bool connected) override { changes.push_back(connected); }
    void OnMessage(BmMsg& message) override { messageIds.push_back(message.MsgId()); }

    std::vector<bool> changes;
    std::vector<uint16_t> messageIds;

private:
    BmServer& client_;
};

// Collects status lines as narrow text.
class RecordingSink : public StatusSink {
public:
    void ShowStatus(BmString text) override;
    std::vector<std::string> lines;
};

// General polls (REQUEST_ID_ALL, 10 ms) until `done` holds or `timeoutMs` of real time pass.
template <typename Done>
bool PollUntil(BmServer& client, Done done, int timeoutMs = 3000, StatusSink* sink = nullptr) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        client.Poll(sink, REQUEST_ID_ALL, 10);
    }
    return true;
}

// General polls until the client is connected (true) or `timeoutMs` pass.
bool PollUntilConnected(BmServer& client, int timeoutMs = 3000, StatusSink* sink = nullptr);

// Assertion reports go to the peer through `client` for the scope, as the launcher sends them.
class GlobalClient {
public:
    explicit GlobalClient(BmServer& client) {
        Client() = &client;
        SetAssertionHandler(Send);
    }
    ~GlobalClient() {
        SetAssertionHandler(nullptr);
        Client() = nullptr;
    }
    GlobalClient(const GlobalClient&) = delete;
    GlobalClient& operator=(const GlobalClient&) = delete;

private:
    static BmServer*& Client() {
        static BmServer* client = nullptr;
        return client;
    }
    static void Send(const BmString& text) { SendEventReport(Client(), text); }
};

// Requests as the launcher builds them.
std::unique_ptr<BmMsg> VersionRequest(int32_t screen = 1, int32_t devMode = 0);
std::unique_ptr<BmMsg> DownloadRequest(uint16_t requestId, int32_t screen = 1, int32_t devMode = 0);

// Writes `size` pseudo-random bytes (from `seed`) to `path`, in bounded chunks.
bool WriteRandomFile(const std::string& path, uint64_t size, uint32_t seed);
// The first string item of `message` as UTF-8 ("" when it cannot be read).
std::string FirstString(BmMsg& message);

}  // namespace peertest
