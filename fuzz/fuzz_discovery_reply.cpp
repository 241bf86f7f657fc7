// Discovery replies of any length and content, through the real ping socket on loopback: the
// datagrams of one input are queued at the ping socket's port, followed by an empty datagram that
// ends the attempt without the 50 ms wait, and one Discover call takes them. The result, the
// chosen address and every status line are checked against the reply rules.
// Input: [wanted-name length][name bytes][flags: bit 0 = status sink], then datagrams as
// [length byte][bytes]: length byte 0xFF is a 4200-byte datagram (longer than the receive
// buffer), anything else is that byte modulo 64 (so 39, 40 and 41 are near).
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "COMMON/BM_COMM/bmpingsocket.h"
#include "COMMON/BM_COMM/bmsocket.h"
#include "COMMON/BM_COMM/statussink.h"
#include "COMMON/BM_OS/bmclock.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr size_t kMaxDatagrams = 105;  // a little past the 100 replies one attempt reads
constexpr size_t kMaxLongDatagrams = 4;
constexpr size_t kLongDatagram = 4200;

class RecordingSink : public StatusSink {
public:
    void ShowStatus(BmString text) override { lines.emplace_back(text.WideText()); }
    std::vector<std::u16string> lines;
};

int BoundUdpSocket() {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(s >= 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(::bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0);
    return s;
}

uint16_t PortOf(int s) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    FUZZ_CHECK(::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0);
    return ntohs(a.sin_port);
}

void Drain(int s) {
    uint8_t junk[8192];
    while (::recv(s, junk, sizeof junk, MSG_DONTWAIT) >= 0) {
    }
}

std::u16string Widen(const std::string& narrow) {
    std::u16string wide;
    for (const char c : narrow) {
        wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
    }
    return wide;
}

std::u16string AddressOf(const uint8_t* reply) {
    return Widen(std::to_string(reply[4]) + "." + std::to_string(reply[5]) + "." + std::to_string(reply[6]) +
                 "." + std::to_string(reply[7]));
}

// The ping socket lives for the whole run; the clock stands still, so it never re-pings.
struct Rig {
    Rig() {
        SetClock(&clock);
        pingSink = BoundUdpSocket();
        const std::string target = "127.0.0.1:" + std::to_string(PortOf(pingSink));
        ::setenv("QUILLON_DISCOVERY", target.c_str(), 1);
        sender = BoundUdpSocket();
        sockaddr_in unused{};
        transport.Discover(&unused, "", nullptr);  // creates the ping socket (one 50 ms wait)
        FUZZ_CHECK(transport.Pinger() != nullptr);
        MakeIPv4Address(&pinger, 127, 0, 0, 1, PortOf(transport.Pinger()->Handle()));
    }
    ManualClock clock{1000};
    int pingSink = -1;
    int sender = -1;
    BmSocket transport;
    sockaddr_in pinger{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig rig;
    FuzzInput in(data, size);
    const std::vector<uint8_t> nameBytes = in.Bytes(in.Byte() % 40);
    const std::string wanted(nameBytes.begin(), nameBytes.end());
    const bool withSink = (in.Byte() & 1) != 0;

    std::vector<std::vector<uint8_t>> datagrams;
    size_t longOnes = 0;
    while (!in.Empty() && datagrams.size() < kMaxDatagrams) {
        const uint8_t code = in.Byte();
        if (code == 0xFF && longOnes < kMaxLongDatagrams) {
            ++longOnes;
            std::vector<uint8_t> d = in.Bytes(kLongDatagram);
            d.resize(kLongDatagram, 0);
            datagrams.push_back(d);
        } else {
            datagrams.push_back(in.Bytes(code % 64));
        }
    }

    const int ping = rig.transport.Pinger()->Handle();
    Drain(ping);
    Drain(rig.pingSink);
    for (const auto& d : datagrams) {
        const ssize_t sent = ::sendto(rig.sender, d.data(), d.size(), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&rig.pinger), sizeof rig.pinger);
        FUZZ_CHECK(sent == static_cast<ssize_t>(d.size()));
    }
    FUZZ_CHECK(::sendto(rig.sender, "", 0, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&rig.pinger),
                        sizeof rig.pinger) == 0);

    RecordingSink sink;
    sockaddr_in chosen{};
    const bool found = rig.transport.Discover(&chosen, wanted.c_str(), withSink ? &sink : nullptr);
    Drain(ping);

    // The rules, applied to the same datagrams. A name shorter than its bytes (a zero inside)
    // is wanted only up to that zero, as the C string it is passed as.
    const std::string wantedText(wanted.c_str());
    std::vector<std::u16string> lines;
    if (withSink) {
        lines.push_back(u"Waiting for ping response.");
    }
    bool expectFound = false;
    const uint8_t* expectReply = nullptr;
    size_t counted = 0;
    for (const auto& d : datagrams) {
        if (d.size() != BmPingSocket::kReplyBytes || LoadLe32(d.data()) != BmPingSocket::kReplyType) {
            break;
        }
        ++counted;
        const uint8_t kind = d[10];
        const bool acceptable = (kind == 1 || kind == 2 || kind == 6 || kind == 7 || kind == 8) &&
                                (d[11] & BmPingSocket::kRefusedFlag) == 0;
        if (acceptable) {
            const std::string name(
                reinterpret_cast<const char*>(d.data() + 12),
                strnlen(reinterpret_cast<const char*>(d.data() + 12), BmPingSocket::kMaxNameChars));
            lines.push_back(u"Ping From " + AddressOf(d.data()) + u" " + Widen(name) + u"\n");
            if (wantedText.empty() || wantedText == name) {
                expectFound = true;
                expectReply = d.data();
                break;
            }
            lines.push_back(u"Wrong System, Looking For: " + Widen(wantedText) + u"\n");
        }
        if (counted == 100) {
            break;
        }
    }
    if (!withSink) {
        lines.clear();
    }

    FUZZ_CHECK(found == expectFound);
    FUZZ_CHECK(sink.lines == lines);
    if (found) {
        FUZZ_CHECK(chosen.sin_family == AF_INET);
        FUZZ_CHECK(std::memcmp(&chosen.sin_addr.s_addr, expectReply + 4, 4) == 0);
        FUZZ_CHECK(ntohs(chosen.sin_port) == LoadLe16(expectReply + 8));
    }
    return 0;
}
