// Base64 for mail and HTTP authorisation.
#pragma once

#include <cstdint>

// Base64 (RFC 4648, '=' padding) of n bytes into out, NUL-terminated, with
// CR LF after the group that brings a line to 80 characters or more (the
// first line starts lineOffset characters in). Stops early when out runs
// short; never writes beyond outSize bytes. Returns the text's length.
int base64Encode(const uint8_t* data, uint32_t n, char* out, int outSize, int lineOffset);

// The 6-bit value of an alphabet character, -1 for any other.
int base64Value(unsigned char c);

// Decodes until the NUL, the first character outside the alphabet ('='
// included) or outSize - 1 bytes; returns the number of bytes written.
int base64Decode(const char* text, uint8_t* out, uint32_t outSize);
