// The network adapter facts the launcher shows or sends: the first adapter's hardware address
// and the host's IPv4 addresses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "COMMON/BM_UTIL/bmstring.h"

// One interface as the system lists it (getifaddrs, AF_PACKET entries, kernel order).
struct AdapterEntry {
    std::string name;
    bool loopback = false;
    std::vector<uint8_t> hardwareAddress;
};

// The interfaces in the kernel's order; empty when they cannot be listed.
std::vector<AdapterEntry> ListAdapters();

// The address of the first entry that is not loopback and has a 6-byte hardware address.
// False (out untouched) when there is none.
bool ChooseAdapterAddress(const std::vector<AdapterEntry>& adapters, uint8_t out[6]);

// "%02X-%02X-%02X-%02X-%02X-%02X" of the six bytes (17 characters, Wide).
BmString FormatAdapterAddress(const uint8_t bytes[6]);

// The first adapter's formatted address from the system, or an empty text when there is none.
BmString ReadAdapterAddressText();

// Dotted IPv4 addresses of the non-loopback interfaces, in the kernel's order; may be empty.
std::vector<std::string> LocalIPv4Addresses();
