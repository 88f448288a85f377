#include "core/sock_addr.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstring>

#include "core/mac_address.h"

TEST(SockAddr, ParseFamiliesAndText)
{
    struct Case {
        const char* text;
        int family;
        int parsed;
        const char* printed;
    };
    const Case cases[] = {
        {"192.168.1.10", AF_INET, 1, "192.168.1.10"},
        {"fe80::1", AF_INET6, 1, "fe80::1"},
        {"::ffff:10.1.2.3", AF_INET6, 1, "::ffff:10.1.2.3"},
        {"localhost", AF_INET, 0, "0.0.0.0"},
        {"1.2.3.4.5", AF_INET, 0, "0.0.0.0"},
        {"fe80::zz", AF_INET6, 0, "::"},
        {"", AF_INET, 0, "0.0.0.0"},
    };
    for (const Case& c : cases) {
        SockAddr a;
        EXPECT_EQ(a.fromString(c.text), c.parsed) << c.text;
        EXPECT_EQ(a.family(), c.family) << c.text;
        EXPECT_EQ(a.str(), c.printed) << c.text;
    }
    SockAddr n;
    EXPECT_EQ(n.fromString(nullptr), 0);
    EXPECT_TRUE(n.isIpv4());
    EXPECT_FALSE(n.isSet());
}

TEST(SockAddr, ToStringIsBoundedAndReportsOtherFamilies)
{
    SockAddr a = SockAddr::parse("198.18.100.200");
    char buf[8];
    EXPECT_EQ(a.toString(buf, sizeof(buf)), 7);
    EXPECT_STREQ(buf, "198.18.");
    EXPECT_EQ(a.toString(buf, 0), 0);
    SockAddr other;
    other.clear(false);
    other.sa.sa_family = AF_UNIX;
    char text[kSockAddrTextSize];
    EXPECT_EQ(other.toString(text, sizeof(text)), 7);
    EXPECT_STREQ(text, "-error-");
    EXPECT_EQ(other.addressBytes(reinterpret_cast<uint8_t*>(text), sizeof(text)), 0u);
    EXPECT_FALSE(other.isSet());
}

TEST(SockAddr, CompareAndCopy)
{
    SockAddr a = SockAddr::parse("198.18.0.1");
    SockAddr b = SockAddr::parse("198.18.0.1");
    b.in4.sin_port = htons(80);
    EXPECT_TRUE(a.equals(b)) << "the port is not part of the address";
    EXPECT_FALSE(a.differs(b));
    SockAddr c = SockAddr::parse("198.18.0.2");
    EXPECT_TRUE(a.differs(c));
    SockAddr v6 = SockAddr::parse("::");
    SockAddr v4zero = SockAddr::parse("0.0.0.0");
    EXPECT_TRUE(v6.differs(v4zero)) << "families differ";

    // An IPv4 copy takes 16 bytes: whatever followed in the target is cleared.
    SockAddr target = SockAddr::parse("fd42:b0c5::99");
    target.in6.sin6_scope_id = 7;
    target = a;
    EXPECT_TRUE(target.equals(a));
    SockAddr zero;
    zero.clear(false);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(&target) + 16, reinterpret_cast<const uint8_t*>(&zero) + 16,
                          12),
              0);
    SockAddr six = SockAddr::parse("fd42:b0c5::99");
    six.in6.sin6_scope_id = 3;
    SockAddr copy(six);
    EXPECT_EQ(copy.in6.sin6_scope_id, 3u) << "an IPv6 copy takes all 28 bytes";
}

TEST(SockAddr, Predicates)
{
    struct Case {
        const char* text;
        bool set;
        bool usable;
        bool linkLocal;
        bool lastEven;
    };
    const Case cases[] = {
        {"192.168.1.0", true, false, false, true},  {"192.168.1.255", true, false, false, false},
        {"127.0.0.1", true, true, false, false},    {"1.0.0.124", true, false, false, true},
        {"169.254.3.4", true, true, true, true},    {"0.0.0.0", false, false, false, true},
        {"255.255.255.0", true, false, false, true}, {"::", false, true, false, false},
        {"fe80::1", true, true, false, false},
    };
    for (const Case& c : cases) {
        const SockAddr a = SockAddr::parse(c.text);
        EXPECT_EQ(a.isSet(), c.set) << c.text;
        EXPECT_EQ(a.isUsable(), c.usable) << c.text;
        EXPECT_EQ(a.isLinkLocal(), c.linkLocal) << c.text;
        EXPECT_EQ(a.isLastByteEven(), c.lastEven) << c.text;
    }
}

TEST(SockAddr, Ipv4ValueAndBuilders)
{
    EXPECT_EQ(SockAddr::parse("::ffff:10.1.2.3").ipv4Value(), inet_addr("10.1.2.3"));
    EXPECT_EQ(SockAddr::parse("::1").ipv4Value(), 0u);
    EXPECT_EQ(SockAddr::parse("10.1.2.3").ipv4Value(), inet_addr("10.1.2.3"));
    SockAddr a;
    a.setIpv4Bytes(198, 18, 0, 9);
    EXPECT_EQ(a.str(), "198.18.0.9");
    SockAddr b;
    b.setIpv4(inet_addr("198.18.0.9"));
    EXPECT_TRUE(a.equals(b));
    uint8_t bytes[16];
    ASSERT_EQ(a.addressBytes(bytes, sizeof(bytes)), 4u);
    EXPECT_EQ(bytes[0], 198);
    EXPECT_EQ(bytes[3], 9);
    EXPECT_EQ(a.addressBytes(bytes, 3), 0u) << "too small a buffer";
}

TEST(MacAddress, ParseTable)
{
    struct Case {
        const char* text;
        int result;
        uint8_t expected[6];
    };
    const Case cases[] = {
        {"12:34:56", 1, {0x02, 0x7e, 0x51, 0x12, 0x34, 0x56}},
        {"1:2:3:4:5:6", 1, {1, 2, 3, 4, 5, 6}},
        {"12:34", 0, {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa}},
        {"1:2:3:4:5:100", 0, {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa}},
        {"AA:aa:Aa:aA:aa:AA", 0, {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa}},
        {"ffffffffffffffffffff:1:2:3:4:5", 0, {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa}},
        {"", 0, {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa}},
    };
    for (const Case& c : cases) {
        uint8_t mac[6];
        std::memset(mac, 0xaa, sizeof(mac));
        EXPECT_EQ(macParse(mac, c.text), c.result) << c.text;
        EXPECT_TRUE(macEquals(mac, c.expected)) << c.text;
    }
}

TEST(MacAddress, Text)
{
    const uint8_t mac[6] = {0x02, 0x7e, 0x51, 0xab, 0x0c, 0xff};
    char buf[kMacTextSize];
    EXPECT_EQ(macToText(mac, buf, sizeof(buf)), 17);
    EXPECT_STREQ(buf, "02:7e:51:ab:0c:ff");
    EXPECT_EQ(macToText(mac, buf, 17), 0);
    EXPECT_STREQ(buf, "");
    const uint8_t other[6] = {0x02, 0x7e, 0x51, 0xab, 0x0c, 0xfe};
    EXPECT_TRUE(macDiffers(mac, other));
}
