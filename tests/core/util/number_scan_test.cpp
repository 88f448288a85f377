#include "core/util/number_scan.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// What %d and %x read, where the scan stops, and the cap that keeps a too
// large number from wrapping.
TEST(NumberScan, ReadsAsScanfAndStopsAtTheCap)
{
    struct Case {
        const char* text;
        int base;
        uint64_t cap;
        bool read;
        bool negative;
        uint64_t magnitude;
        const char* rest;
    };
    const Case cases[] = {
        {"42.7", 10, 1000, true, false, 42, ".7"},
        {"  -17:", 10, 1000, true, true, 17, ":"},
        {"+5", 10, 1000, true, false, 5, ""},
        {"99999999999999999999999", 10, 1u << 31, true, false, 1u << 31, ""},
        {"1001", 10, 1000, true, false, 1000, ""},
        {"1000", 10, 1000, true, false, 1000, ""},
        {"x1", 10, 1000, false, false, 0, "x1"},
        {"-", 10, 1000, false, false, 0, "-"},
        {"", 10, 1000, false, false, 0, ""},
        {"0x1F:", 16, 0x1000, true, false, 0x1f, ":"},
        {"0xg", 16, 0x1000, true, false, 0, "xg"},
        {"fFz", 16, 0x1000, true, false, 0xff, "z"},
        {"12345", 16, 0x1000, true, false, 0x1000, ""},
        {"-a", 16, 0x1000, true, true, 0xa, ""},
        {"9a", 10, 1000, true, false, 9, "a"},
    };
    for (const Case& c : cases) {
        const char* p = c.text;
        ScannedNumber n;
        ASSERT_EQ(scanNumber(p, c.base, c.cap, &n), c.read) << c.text;
        EXPECT_EQ(std::string(p), c.rest) << c.text;
        if (!c.read)
            continue;
        EXPECT_EQ(n.negative, c.negative) << c.text;
        EXPECT_EQ(n.magnitude, c.magnitude) << c.text;
    }
}

} // namespace
