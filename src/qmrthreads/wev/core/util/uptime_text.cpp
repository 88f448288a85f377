#include "core/util/uptime_text.h"

#include <cstdio>

char* uptimeText(uint64_t ticks, char* buf, size_t size)
{
    if (!buf || size == 0)
        return buf;
    uint64_t minutes = ticks / 100 / 60;
    unsigned long long days = minutes / (24 * 60);
    unsigned hours = static_cast<unsigned>(minutes / 60 % 24);
    unsigned mins = static_cast<unsigned>(minutes % 60);
    snprintf(buf, size, "%3llu/%02u/%02u", days, hours, mins);
    return buf;
}
