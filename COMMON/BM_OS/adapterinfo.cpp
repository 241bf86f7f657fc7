#include "COMMON/BM_OS/adapterinfo.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>

namespace {
constexpr size_t kHardwareAddressBytes = 6;
constexpr size_t kMaxAdapters = 256;  // keeps a pathological interface list bounded

// Walks the system's interface list; false when it cannot be read.
template <typename Visit>
bool ForEachInterface(Visit visit) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        if (it->ifa_addr) {
            visit(*it);
        }
    }
    freeifaddrs(list);
    return true;
}
}  // namespace

std::vector<AdapterEntry> ListAdapters() {
    std::vector<AdapterEntry> adapters;
    ForEachInterface([&adapters](const ifaddrs& it) {
        if (it.ifa_addr->sa_family != AF_PACKET || adapters.size() >= kMaxAdapters) {
            return;
        }
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(it.ifa_addr);
        AdapterEntry entry;
        entry.name = it.ifa_name ? it.ifa_name : "";
        entry.loopback = (it.ifa_flags & IFF_LOOPBACK) != 0;
        const size_t length = ll->sll_halen <= sizeof ll->sll_addr ? ll->sll_halen : 0;
        entry.hardwareAddress.assign(ll->sll_addr, ll->sll_addr + length);
        adapters.push_back(std::move(entry));
    });
    return adapters;
}

bool ChooseAdapterAddress(const std::vector<AdapterEntry>& adapters, uint8_t out[6]) {
    for (const AdapterEntry& adapter : adapters) {
        if (!adapter.loopback && adapter.hardwareAddress.size() == kHardwareAddressBytes) {
            for (size_t i = 0; i < kHardwareAddressBytes; ++i) {
                out[i] = adapter.hardwareAddress[i];
            }
            return true;
        }
    }
    return false;
}

BmString FormatAdapterAddress(const uint8_t bytes[6]) {
    char narrow[3 * kHardwareAddressBytes];
    std::snprintf(narrow, sizeof narrow, "%02X-%02X-%02X-%02X-%02X-%02X", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5]);
    char16_t wide[sizeof narrow];
    for (size_t i = 0; i < sizeof narrow; ++i) {
        wide[i] = static_cast<char16_t>(static_cast<unsigned char>(narrow[i]));
    }
    BmString text;
    text.AssignWide(wide);
    return text;
}

BmString ReadAdapterAddressText() {
    uint8_t bytes[kHardwareAddressBytes];
    if (!ChooseAdapterAddress(ListAdapters(), bytes)) {
        return BmString();
    }
    return FormatAdapterAddress(bytes);
}

std::vector<std::string> LocalIPv4Addresses() {
    std::vector<std::string> addresses;
    ForEachInterface([&addresses](const ifaddrs& it) {
        if (it.ifa_addr->sa_family != AF_INET || (it.ifa_flags & IFF_LOOPBACK) ||
            addresses.size() >= kMaxAdapters) {
            return;
        }
        const auto* in = reinterpret_cast<const sockaddr_in*>(it.ifa_addr);
        if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) {
            return;
        }
        char text[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) {
            addresses.emplace_back(text);
        }
    });
    return addresses;
}
