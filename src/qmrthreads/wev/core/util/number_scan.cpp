#include "core/util/number_scan.h"

#include <cctype>

namespace {

int digitValue(char c, int base)
{
    if (std::isdigit(static_cast<unsigned char>(c)))
        return c - '0';
    if (base == 16 && std::isxdigit(static_cast<unsigned char>(c)))
        return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    return -1;
}

} // namespace

bool scanNumber(const char*& p, int base, uint64_t cap, ScannedNumber* out)
{
    const char* q = p;
    while (std::isspace(static_cast<unsigned char>(*q)))
        ++q;
    ScannedNumber n;
    if (*q == '+' || *q == '-') {
        n.negative = *q == '-';
        ++q;
    }
    if (base == 16 && q[0] == '0' && (q[1] == 'x' || q[1] == 'X') && digitValue(q[2], 16) >= 0)
        q += 2;
    if (digitValue(*q, base) < 0)
        return false;
    for (int d; (d = digitValue(*q, base)) >= 0; ++q) {
        const uint64_t next = n.magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        n.magnitude = n.magnitude >= cap || next > cap ? cap : next;
    }
    p = q;
    *out = n;
    return true;
}
