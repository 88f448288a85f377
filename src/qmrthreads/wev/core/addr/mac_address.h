// MAC addresses are plain arrays of six bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct sockaddr;
struct SockAddr;

constexpr size_t kMacBytes = 6;
// "xx:xx:xx:xx:xx:xx" and its terminator.
constexpr size_t kMacTextSize = 18;

// Reads up to six hexadecimal numbers separated by ':' into values; returns
// how many were read (stops at the first that does not parse, as a scanf
// would). Numbers too large for a byte are still counted, with the value
// 0x100 or more, so callers can refuse them.
int macScan(const char* text, unsigned values[kMacBytes]);

// Six numbers give the six bytes; exactly three give the maker's prefix
// 02:7E:51 followed by the three numbers; any other count (or a number above
// 0xff) leaves mac unchanged and returns 0. Otherwise returns 1 when any byte
// changed.
int macParse(uint8_t mac[kMacBytes], const char* text);

// Lower-case "%02x:...:%02x" into buffer; needs kMacTextSize bytes, else
// writes nothing (terminates when size > 0) and returns 0. Returns 17.
int macToText(const uint8_t mac[kMacBytes], char* buffer, size_t size);
int macPrint(const uint8_t mac[kMacBytes], FILE* out);
// Upper-case "%02X:...:%02X" in a buffer of the calling thread, overwritten
// by its next call.
const char* macToTextUpper(const uint8_t mac[kMacBytes]);

// 01:00:5e followed by the group's second octet without its top bit, its
// third and its fourth octet.
void macForIpv4Multicast(uint8_t out[kMacBytes], const SockAddr& group);

// The six hardware address bytes of an interface (SIOCGIFHWADDR on a
// temporary socket); "eth0" when name is null. out is zeroed first and stays
// so when the name is longer than 15 characters or the request fails.
// 1 when read, else 0.
int readInterfaceMac(uint8_t out[kMacBytes], const char* name);

bool macEquals(const uint8_t a[kMacBytes], const uint8_t b[kMacBytes]);
inline bool macDiffers(const uint8_t a[kMacBytes], const uint8_t b[kMacBytes]) { return !macEquals(a, b); }

void macCopy(uint8_t dst[kMacBytes], const uint8_t src[kMacBytes]);
// From a byte array that need not be aligned or terminated.
void macCopyBytes(uint8_t dst[kMacBytes], const void* bytes);
// From a hardware address record (the sa_data of an interface request).
void macAssign(uint8_t dst[kMacBytes], const sockaddr& hwaddr);
