// Free socket functions shared by the TCP transport and the discovery socket. Waits use poll(2),
// so any descriptor number works, and every wait is bounded by its argument and ends (false) once
// a stop is asked for.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "COMMON/BM_UTIL/bmstring.h"

constexpr int kInvalidSocket = -1;

bool WaitReadable(int s, uint32_t ms);  // false for -1; true if readable within ms
bool WaitWritable(int s, uint32_t ms);  // false for -1; true if writable within ms
void MakeIPv4Address(sockaddr_in* address, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4,
                     uint16_t port);               // b1.b2.b3.b4, port in host order
bool SetBlocking(int s);                           // clears O_NONBLOCK; true on success
void CloseSocket(int s);                           // shutdown(SHUT_RD), then close; nothing for -1
BmString AddressText(const sockaddr_in& address);  // "a.b.c.d", wide
// Opens a close-on-exec TCP socket and connects it to `address`, waiting at most `timeoutMs`
// for the connection. The connected descriptor (still non-blocking), or kInvalidSocket.
int ConnectWithin(const sockaddr_in& address, uint32_t timeoutMs);
