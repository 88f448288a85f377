// MAC addresses are plain arrays of six bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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

bool macEquals(const uint8_t a[kMacBytes], const uint8_t b[kMacBytes]);
inline bool macDiffers(const uint8_t a[kMacBytes], const uint8_t b[kMacBytes]) { return !macEquals(a, b); }
