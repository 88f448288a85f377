#include "core/addr/dotted_quad.h"

#include "core/util/number_scan.h"

#include <climits>

namespace {

// A part beyond the int range reads as the nearest int, like the box's scanf.
bool scanDecimal(const char*& p, int32_t& value)
{
    ScannedNumber n;
    if (!scanNumber(p, 10, uint64_t(INT32_MAX) + 1, &n))
        return false;
    if (n.negative)
        value = n.magnitude > uint64_t(INT32_MAX) ? INT32_MIN : -int32_t(n.magnitude);
    else
        value = n.magnitude > uint64_t(INT32_MAX) ? INT32_MAX : int32_t(n.magnitude);
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
