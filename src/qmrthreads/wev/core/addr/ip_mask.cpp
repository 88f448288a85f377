// The address text of an IP filter rule: a full address, or leading parts
// followed by '*' for "any" in the remaining parts.
#include "core/addr/ip_mask.h"

#include <cstdio>
#include <cstring>

#include "core/addr/dotted_quad.h"

namespace {

void formatQuad(uint32_t word, char* out, size_t size)
{
    std::snprintf(out, size, "%u.%u.%u.%u ", (word >> 24) & 0xff, (word >> 16) & 0xff, (word >> 8) & 0xff,
                  word & 0xff);
}

void describe(uint32_t address, uint32_t mask, char* description, size_t size)
{
    if (!description || size == 0)
        return;
    char a[20];
    char m[20];
    formatQuad(address, a, sizeof(a));
    formatQuad(mask, m, sizeof(m));
    std::snprintf(description, size, " IpAddr:%s IpMask:%s", a, m);
}

}  // namespace

bool parseIpMask(const char* text, uint32_t* address, uint32_t* mask, char* description, size_t descriptionSize)
{
    int32_t parts[4] = {};
    const int n = scanDottedQuad(text, parts);
    const bool wild = text && std::strchr(text, '*') != nullptr;
    uint32_t a = 0;
    uint32_t m = 0;
    bool ok = false;
    bool inRange = true;
    for (int i = 0; i < n; ++i)
        inRange = inRange && parts[i] >= 0 && parts[i] <= 255;
    if (!inRange) {
        ok = false;
    } else if (n <= 0) {
        m = wild ? 0xffffffffu : 0;
        ok = wild;
    } else if (n == 4 || wild) {
        for (int i = 0; i < 4; ++i) {
            a = a << 8 | (i < n ? uint32_t(parts[i]) : 0);
            m = m << 8 | (i < n ? 0xffu : 0);
        }
        ok = true;
    }
    if (address)
        *address = a;
    if (mask)
        *mask = m;
    describe(a, m, description, descriptionSize);
    return ok;
}
