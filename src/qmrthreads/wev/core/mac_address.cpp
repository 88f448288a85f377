#include "core/mac_address.h"

#include <cctype>
#include <cstring>

namespace {

// One "%x" conversion as scanf does it: optional blanks, optional sign,
// optional 0x, then at least one hex digit. Values beyond 0xfff are clamped:
// the callers only need to know they are too large for a byte.
bool scanHex(const char*& p, unsigned& value)
{
    while (std::isspace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && std::isxdigit(p[2]))
        p += 2;
    if (!std::isxdigit(*p))
        return false;
    unsigned v = 0;
    for (; std::isxdigit(*p); ++p) {
        const unsigned digit = std::isdigit(*p) ? unsigned(*p - '0') : unsigned(std::tolower(*p) - 'a' + 10);
        v = v > 0xfff ? v : v * 16 + digit;
    }
    value = negative && v ? 0x1000 : v;
    return true;
}

}  // namespace

int macScan(const char* text, unsigned values[kMacBytes])
{
    if (!text)
        return 0;
    const char* p = text;
    int n = 0;
    while (n < int(kMacBytes)) {
        if (n > 0) {
            if (*p != ':')
                break;
            ++p;
        }
        if (!scanHex(p, values[n]))
            break;
        ++n;
    }
    return n;
}

int macParse(uint8_t mac[kMacBytes], const char* text)
{
    unsigned v[kMacBytes] = {};
    const int n = macScan(text, v);
    uint8_t next[kMacBytes];
    if (n == 6) {
        for (size_t i = 0; i < kMacBytes; ++i)
            next[i] = uint8_t(v[i]);
    } else if (n == 3) {
        next[0] = 0x02;
        next[1] = 0x7e;
        next[2] = 0x51;
        for (size_t i = 0; i < 3; ++i)
            next[3 + i] = uint8_t(v[i]);
    } else {
        return 0;
    }
    for (int i = 0; i < n; ++i) {
        if (v[i] > 0xff)
            return 0;
    }
    const bool changed = std::memcmp(mac, next, kMacBytes) != 0;
    std::memcpy(mac, next, kMacBytes);
    return changed ? 1 : 0;
}

int macToText(const uint8_t mac[kMacBytes], char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return 0;
    if (size < kMacTextSize) {
        buffer[0] = '\0';
        return 0;
    }
    return std::snprintf(buffer, size, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                         mac[5]);
}

int macPrint(const uint8_t mac[kMacBytes], FILE* out)
{
    char text[kMacTextSize];
    macToText(mac, text, sizeof(text));
    return std::fprintf(out, "%s", text);
}

bool macEquals(const uint8_t a[kMacBytes], const uint8_t b[kMacBytes])
{
    return std::memcmp(a, b, kMacBytes) == 0;
}
