#include "tests/BM_COMM/support_peer.h"

#include <fstream>

#include "COMMON/BM_UTIL/bmstring.h"

namespace peertest {

PrivateDiscovery::PrivateDiscovery()
    : port_(FreeUdpPort()), env_("QUILLON_DISCOVERY", "127.255.255.255:" + std::to_string(port_)) {}

bool SimPeer::Start(int discoveryPort, std::vector<std::string> args) {
    args.insert(args.end(), {"--discovery-port", std::to_string(discoveryPort), "--max-seconds", "120"});
    if (!process_.Start(GATEWAY_SIM_BIN, args)) {
        return false;
    }
    tcpPort_ = process_.ListenPort(5000);
    return tcpPort_ > 0;
}

RecordingListener::RecordingListener(BmServer& client) : GatewayListener(client), client_(client) {
    client_.AddListener(this);
}

RecordingListener::~RecordingListener() {
    client_.RemoveListener(this);
}

void RecordingSink::ShowStatus(BmString text) {
    text.ToNarrow();
    lines.emplace_back(text.NarrowText());
}

bool PollUntilConnected(BmServer& client, int timeoutMs, StatusSink* sink) {
    return PollUntil(
        client, [&] { return client.IsConnected(); }, timeoutMs, sink);
}

std::unique_ptr<BmMsg> VersionRequest(int32_t screen, int32_t devMode) {
    auto request = std::make_unique<BmMsg>(REQUEST_ID_NONE, MSG_VERSION_REQUEST);
    request->AppendInt32(screen);
    request->AppendInt32(kClientTypeDefault);
    request->AppendInt32(devMode);
    return request;
}

std::unique_ptr<BmMsg> DownloadRequest(uint16_t requestId, int32_t screen, int32_t devMode) {
    auto request = std::make_unique<BmMsg>(requestId, MSG_DOWNLOAD_REQUEST);
    request->AppendInt32(screen);
    request->AppendInt32(kClientTypeDefault);
    request->AppendInt32(706);
    request->AppendInt32(devMode);
    return request;
}

bool WriteRandomFile(const std::string& path, uint64_t size, uint32_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(1 << 20);
    uint32_t x = seed != 0 ? seed : 1;
    for (uint64_t left = size; left > 0 && out;) {
        const size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
        for (size_t i = 0; i < n; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            chunk[i] = static_cast<char>(x >> 24);
        }
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    return static_cast<bool>(out);
}

std::string FirstString(BmMsg& message) {
    BmString text;
    message.Rewind();
    if (!message.ReadString(text)) {
        return "";
    }
    text.ToNarrow();
    return text.NarrowText();
}

}  // namespace peertest
