// BmSocket::Discover: one discovery attempt over the transport's ping socket.
#include <arpa/inet.h>

#include <cstring>

#include "COMMON/BM_COMM/bmpingsocket.h"
#include "COMMON/BM_COMM/bmsocket.h"
#include "COMMON/BM_COMM/statussink.h"

namespace {

constexpr int kMaxRepliesPerAttempt = 100;

void Show(StatusSink* sink, const BmString& line) {
    if (sink != nullptr) {
        sink->ShowStatus(line);
    }
}

}  // namespace

bool BmSocket::Discover(sockaddr_in* address, const char* wantedName, StatusSink* sink) {
    if (!pinger_) {
        pinger_ = std::make_unique<BmPingSocket>();
    }
    Show(sink, BmString(u"Waiting for ping response."));
    const char* wanted = wantedName != nullptr ? wantedName : "";
    uint8_t reply[BmPingSocket::kReplyBytes];
    for (int count = 1; count <= kMaxRepliesPerAttempt; ++count) {
        if (!pinger_->ReceiveReply(reply)) {
            return false;
        }
        std::memset(address, 0, sizeof(*address));
        address->sin_family = AF_INET;
        std::memcpy(&address->sin_addr.s_addr, reply + 4, 4);
        address->sin_port = htons(static_cast<uint16_t>(reply[8] | (reply[9] << 8)));
        if (!BmPingSocket::IsAcceptable(reply)) {
            continue;
        }
        char name[BmPingSocket::kMaxNameChars + 1];
        std::memcpy(name, reply + BmPingSocket::kNameOffset, BmPingSocket::kMaxNameChars);
        name[BmPingSocket::kMaxNameChars] = '\0';
        if (sink != nullptr) {
            BmString where = AddressText(*address);
            BmString system(name);
            BmString line;
            line.Format(u"Ping From %s %s\n", where.WideText(), system.WideText());
            sink->ShowStatus(line);
        }
        if (wanted[0] == '\0' || std::strcmp(wanted, name) == 0) {
            gatewayName_ = name;
            gatewayAddress_ = *address;
            return true;
        }
        if (sink != nullptr) {
            BmString looking(wanted);
            BmString line;
            line.Format(u"Wrong System, Looking For: %s\n", looking.WideText());
            sink->ShowStatus(line);
        }
    }
    return false;
}
