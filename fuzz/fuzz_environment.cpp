// The environment the launcher reads: RUNTIMEOEMREV and the %NAME% expansion behind the client
// type, QUILLON_DISCOVERY (the discovery target), QUILLON_ROOT (device paths) and the test-only
// launch pause. Input: [flags][destination size], then NUL-separated fields: the RUNTIMEOEMREV
// value, an expansion template (one byte per code unit), the QUILLON_DISCOVERY text, the launch
// pause text and the device root. Flag bit 0 leaves RUNTIMEOEMREV unset, bit 1 sets QUILLON_TEST=1.
#include <netinet/in.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "COMMON/BM_COMM/bmpingsocket.h"
#include "COMMON/BM_OS/devicepath.h"
#include "COMMON/BM_OS/envexpand.h"
#include "QUILLON/torvix.h"
#include "fuzz/fuzzsupport.h"

namespace {

constexpr char16_t kSentinel = 0xBEEF;

std::vector<std::string> Fields(FuzzInput& in, size_t count) {
    std::vector<std::string> fields(count);
    const std::vector<uint8_t> rest = in.Rest();
    size_t field = 0;
    for (const uint8_t b : rest) {
        if (b == 0) {
            if (++field == count) {
                break;
            }
            continue;
        }
        fields[field].push_back(static_cast<char>(b));
    }
    return fields;
}

// A decimal number of 1..digits digits not above limit, as the target text wants it.
bool Number(const std::string& text, size_t& at, uint32_t limit, size_t digits, uint32_t* out) {
    size_t n = 0;
    uint64_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + static_cast<uint64_t>(text[at] - '0');
        ++at;
        if (++n > digits) {
            return false;
        }
    }
    if (n == 0 || value > limit) {
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

// "a.b.c.d:port", octets 0-255, port 1-65535, nothing else.
bool WellFormedTarget(const std::string& text, uint8_t octets[4], uint16_t* port) {
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t v = 0;
        if (!Number(text, at, 255, 3, &v) || at >= text.size() || text[at] != (i < 3 ? '.' : ':')) {
            return false;
        }
        octets[i] = static_cast<uint8_t>(v);
        ++at;
    }
    uint32_t p = 0;
    if (!Number(text, at, 65535, 5, &p) || p == 0 || at != text.size()) {
        return false;
    }
    *port = static_cast<uint16_t>(p);
    return true;
}

void CheckExpansion(const std::u16string& source, uint32_t destChars) {
    const uint32_t count = ExpandEnvironment(source.c_str(), nullptr, 0);
    FUZZ_CHECK(count >= 1);
    // Exact-size destinations: one short gets nothing written, the exact size gets it all.
    std::vector<char16_t> small(destChars > 0 ? destChars : 1, kSentinel);
    const uint32_t again =
        ExpandEnvironment(source.c_str(), destChars > 0 ? small.data() : nullptr, destChars);
    FUZZ_CHECK(again == count);
    if (count > destChars) {
        for (const char16_t c : small) {
            FUZZ_CHECK(c == kSentinel);
        }
    }
    std::vector<char16_t> exact(count, kSentinel);
    FUZZ_CHECK(ExpandEnvironment(source.c_str(), exact.data(), count) == count);
    FUZZ_CHECK(exact[count - 1] == 0);
    for (uint32_t i = 0; i + 1 < count; ++i) {
        FUZZ_CHECK(exact[i] != 0 && exact[i] != kSentinel);
    }
    if (source.find(u'%') == std::u16string::npos) {
        FUZZ_CHECK(std::u16string(exact.data()) == source);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t flags = in.Byte();
    const uint32_t destChars = in.Byte();
    const std::vector<std::string> f = Fields(in, 5);

    // RUNTIMEOEMREV and the client type.
    const bool defined = (flags & 1) == 0;
    if (defined) {
        ::setenv("RUNTIMEOEMREV", f[0].c_str(), 1);
    } else {
        ::unsetenv("RUNTIMEOEMREV");
    }
    FUZZ_CHECK(ClientTypeFromEnvironment() ==
               (defined && f[0].size() < 63 ? kClientTypeOem : kClientTypeDefault));
    if (defined) {
        std::u16string value;
        for (const char c : f[0]) {
            value.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
        }
        char16_t out[128];
        const uint32_t count = ExpandEnvironment(u"%RUNTIMEOEMREV%", out, 128);
        FUZZ_CHECK(count == value.size() + 1);
        if (count <= 128) {
            FUZZ_CHECK(std::u16string(out) == value);
        }
    }

    // The expansion on its own template.
    std::u16string source;
    for (const char c : f[1]) {
        source.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
    }
    CheckExpansion(source, destChars);

    // The discovery target.
    sockaddr_in target{};
    target.sin_port = 0x1234;
    const bool parsed = ParseDiscoveryTarget(f[2].c_str(), &target);
    uint8_t octets[4] = {};
    uint16_t port = 0;
    FUZZ_CHECK(parsed == WellFormedTarget(f[2], octets, &port));
    if (parsed) {
        FUZZ_CHECK(target.sin_family == AF_INET);
        FUZZ_CHECK(std::memcmp(&target.sin_addr.s_addr, octets, 4) == 0);
        FUZZ_CHECK(ntohs(target.sin_port) == port);
    } else {
        FUZZ_CHECK(target.sin_port == 0x1234);  // a refused text leaves the address alone
    }

    // The launch pause: never above the real one, whatever the text.
    if ((flags & 2) != 0) {
        ::setenv("QUILLON_TEST", "1", 1);
    } else {
        ::unsetenv("QUILLON_TEST");
    }
    ::setenv("QUILLON_LAUNCH_PAUSE_MS", f[3].c_str(), 1);
    const uint32_t pause = LaunchPauseMs();
    FUZZ_CHECK(pause <= kLaunchPauseMs);
    if ((flags & 2) == 0) {
        FUZZ_CHECK(pause == kLaunchPauseMs);
    }

    // Device paths under any root.
    if (f[4].empty()) {
        ::unsetenv("QUILLON_ROOT");
    } else {
        ::setenv("QUILLON_ROOT", f[4].c_str(), 1);
    }
    std::string root = f[4].empty() ? std::string("/var/lib/quillon") : f[4];
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    FUZZ_CHECK(DeviceRoot() == root);
    FUZZ_CHECK(DeviceFilePath("\\NANDFLASH\\DEV.DAT") == root + "/NANDFLASH/DEV.DAT");
    return 0;
}
