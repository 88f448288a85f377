#include "core/addr/dotted_quad.h"

#include <cctype>
#include <climits>

namespace {

bool scanDecimal(const char*& p, int32_t& value)
{
    while (std::isspace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!std::isdigit(*p))
        return false;
    int64_t v = 0;
    for (; std::isdigit(*p); ++p) {
        if (v <= INT32_MAX)
            v = v * 10 + (*p - '0');
    }
    if (negative)
        v = -v;
    if (v > INT32_MAX)
        v = INT32_MAX;
    if (v < INT32_MIN)
        v = INT32_MIN;
    value = int32_t(v);
    return true;
}

}  // namespace

int scanDottedQuad(const char* text, int32_t parts[4])
{
    if (!text)
        return 0;
    const char* p = text;
    int n = 0;
    while (n < 4) {
        if (n > 0) {
            if (*p != '.')
                break;
            ++p;
        }
        if (!scanDecimal(p, parts[n]))
            break;
        ++n;
    }
    return n;
}
