// Reading one number out of a text the way scanf's %d and %x conversions
// read it, for the parsers of integers, dotted quads and MAC addresses.
#pragma once

#include <cstdint>

struct ScannedNumber {
    bool negative = false;
    uint64_t magnitude = 0;  // at most the cap the caller gave
};

// Blanks, an optional sign, with base 16 an optional "0x" before a hex
// digit, then the digits of the base (10 or 16). The magnitude stops
// growing at cap, so a caller tells "too large" apart without overflow. p
// moves past what was read; false, with p unmoved, when no digit follows.
bool scanNumber(const char*& p, int base, uint64_t cap, ScannedNumber* out);
