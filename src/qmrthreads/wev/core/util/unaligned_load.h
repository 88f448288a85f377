// Reading words from byte streams that give no alignment.
#pragma once

#include <cstdint>
#include <cstring>

// 32-bit load from a possibly unaligned address, in host byte order.
inline uint32_t loadU32(const void* p)
{
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}
