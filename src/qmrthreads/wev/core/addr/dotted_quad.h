// Reading "a.b.c.d" the way the address checks of the box always have
// (a scanf of "%d.%d.%d.%d"), but without its undefined overflow.
#pragma once

#include <cstdint>

// Reads up to four decimal numbers separated by '.'; returns how many were
// read (stops at the first that does not parse). Each number may have
// leading blanks and a sign; numbers outside the int range are clamped to it,
// so a range check on the parts refuses them.
int scanDottedQuad(const char* text, int32_t parts[4]);
