// A tick count (1/100 s) as "days/hours/minutes", the form of the alive time,
// the DHCP lease and the device log: "%3d/%02d/%02d".
#pragma once

#include <cstddef>
#include <cstdint>

// Writes into buf (always terminated when size > 0) and returns buf.
char* uptimeText(uint64_t ticks, char* buf, size_t size);
