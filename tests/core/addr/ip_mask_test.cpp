#include "core/addr/ip_mask.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(ParseIpMask, Table)
{
    struct Case {
        const char* text;
        bool ok;
        uint32_t address;
        uint32_t mask;
    };
    const Case cases[] = {
        {"10.*", true, 0x0a000000, 0xff000000},
        {"192.168.*", true, 0xc0a80000, 0xffff0000},
        {"10.1", false, 0, 0},
        {"*", true, 0, 0xffffffff},
        {"", false, 0, 0},
        {"198.18.3.4", true, 0xc6120304, 0xffffffff},
        {"10.1.2.*", true, 0x0a010200, 0xffffff00},
        {"300.1.1.1", false, 0, 0},
        {"1.2.3.256", false, 0, 0},
        {"10.-1.*", false, 0, 0},
        {"99999999999.*", false, 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t a = 1;
        uint32_t m = 1;
        EXPECT_EQ(parseIpMask(c.text, &a, &m, nullptr, 0), c.ok) << c.text;
        EXPECT_EQ(a, c.address) << c.text;
        EXPECT_EQ(m, c.mask) << c.text;
    }
    char description[64];
    EXPECT_TRUE(parseIpMask("192.168.*", nullptr, nullptr, description, sizeof(description)));
    EXPECT_STREQ(description, " IpAddr:192.168.0.0  IpMask:255.255.0.0 ");
    char small[12];
    std::memset(small, 'Z', sizeof(small));
    parseIpMask("192.168.*", nullptr, nullptr, small, sizeof(small));
    EXPECT_STREQ(small, " IpAddr:192");
}
