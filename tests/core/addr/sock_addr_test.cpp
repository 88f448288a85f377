#include "core/addr/sock_addr.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/addr/mac_address.h"

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

TEST(SockAddr, Ipv6TextRoundTrips)
{
    struct Case {
        const char* text;
        const char* canonical;
    };
    const Case cases[] = {
        {"fd42:b0c5::1", "fd42:b0c5::1"},
        {"fd42:b0c5:0:0:0:0:0:1", "fd42:b0c5::1"},
        {"FD42:B0C5::ABCD", "fd42:b0c5::abcd"},
        {"fd42:b0c5:0001:0002:0003:0004:0005:0006", "fd42:b0c5:1:2:3:4:5:6"},
        {"fd42:0:0:1:0:0:0:0", "fd42:0:0:1::"},
        {"fd42:b0c5:0:0:1:0:0:1", "fd42:b0c5::1:0:0:1"},
        {"::", "::"},
        {"::1", "::1"},
        {"fe80::1:2:3:4", "fe80::1:2:3:4"},
        {"::ffff:198.18.0.1", "::ffff:198.18.0.1"},
    };
    for (const Case& c : cases) {
        SockAddr a;
        ASSERT_EQ(a.fromString(c.text), 1) << c.text;
        EXPECT_TRUE(a.isIpv6()) << c.text;
        EXPECT_STREQ(a.text(), c.canonical) << c.text;
        // The printed form parses back to the same address.
        SockAddr again = SockAddr::parse(a.text());
        EXPECT_TRUE(again.equals(a)) << c.text;
    }
    for (const char* bad : {"fd42:b0c5::1::2", "fd42:b0c5:1:2:3:4:5:6:7", "fd42:g::1", ":::", "fd42:b0c5::1/64"}) {
        SockAddr a;
        EXPECT_EQ(a.fromString(bad), 0) << bad;
        EXPECT_TRUE(a.isIpv6()) << bad;
        EXPECT_FALSE(a.isSet()) << bad;
    }
}

TEST(SockAddr, TextRingHoldsSixteenTexts)
{
    std::vector<const char*> texts;
    std::vector<std::string> expected;
    for (int i = 0; i < kSockAddrTextBuffers; ++i) {
        SockAddr a;
        a.setIpv4Bytes(198, 18, 1, static_cast<uint8_t>(i + 1));
        texts.push_back(a.text());
        expected.push_back(a.str());
    }
    // Sixteen texts are held at once, each in its own buffer.
    EXPECT_EQ(std::set<const char*>(texts.begin(), texts.end()).size(), size_t(kSockAddrTextBuffers));
    for (int i = 0; i < kSockAddrTextBuffers; ++i)
        EXPECT_EQ(texts[i], expected[i]);
    // The seventeenth reuses the first one's buffer.
    const char* seventeenth = SockAddr::parse("fd42:b0c5::17").text();
    EXPECT_EQ(seventeenth, texts[0]);
    EXPECT_STREQ(texts[0], "fd42:b0c5::17");
    EXPECT_EQ(texts[1], expected[1]);
}

// Threads making texts at the same time never touch each other's texts.
TEST(SockAddr, TextsOfOneThreadSurviveAnothersTexts)
{
    constexpr int kPerThread = 10000;
    std::atomic<int> garbled{0};
    auto work = [&](uint8_t third, const char* want) {
        SockAddr a;
        a.setIpv4Bytes(198, 18, third, third);
        for (int i = 0; i < kPerThread; ++i) {
            if (std::strcmp(a.text(), want) != 0)
                garbled.fetch_add(1);
        }
    };
    std::thread one(work, 111, "198.18.111.111");
    std::thread two(work, 222, "198.18.222.222");
    one.join();
    two.join();
    EXPECT_EQ(garbled.load(), 0);

    // Sixteen texts held here stay whole while another thread makes 10000.
    std::vector<const char*> held;
    for (int i = 0; i < kSockAddrTextBuffers; ++i) {
        SockAddr a;
        a.setIpv4Bytes(198, 19, 0, static_cast<uint8_t>(i + 1));
        held.push_back(a.text());
    }
    std::thread other(work, 33, "198.18.33.33");
    other.join();
    for (int i = 0; i < kSockAddrTextBuffers; ++i)
        EXPECT_EQ(std::string(held[i]), "198.19.0." + std::to_string(i + 1));
}

TEST(SockAddr, ClassfulNetmask)
{
    struct Case {
        const char* address;
        const char* mask;
    };
    const Case cases[] = {
        {"10.0.0.5", "255.0.0.0"},      {"127.0.0.1", "255.0.0.0"},    {"128.0.0.1", "255.255.0.0"},
        {"169.254.3.4", "255.255.0.0"}, {"191.255.0.1", "255.255.0.0"}, {"192.0.2.1", "255.255.255.0"},
        {"198.18.7.2", "255.255.255.0"}, {"223.1.1.1", "255.255.255.0"}, {"224.0.0.251", "0.0.0.0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SockAddr::parse(c.address).classfulNetmask().str(), c.mask) << c.address;
}

TEST(MacAddress, PartsAboveAByteAndCounts)
{
    struct Case {
        const char* text;
        int result;
        uint8_t expected[6];
    };
    const uint8_t untouched[6] = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
    const Case cases[] = {
        {"100:2:3:4:5:6", 0, {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa}},
        {"12:34:100", 0, {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa}},
        {"1:2:3:4:5", 0, {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa}},
        {"ff:FF:0:1:2:3", 1, {0xff, 0xff, 0, 1, 2, 3}},
        {"aa:aa:aa", 1, {0x02, 0x7e, 0x51, 0xaa, 0xaa, 0xaa}},
    };
    for (const Case& c : cases) {
        uint8_t mac[6];
        std::memcpy(mac, untouched, sizeof(mac));
        EXPECT_EQ(macParse(mac, c.text), c.result) << c.text;
        EXPECT_TRUE(macEquals(mac, c.expected)) << c.text;
    }
}

TEST(MacAddress, UpperTextIsPerThread)
{
    const uint8_t a[6] = {0x02, 0x7e, 0x51, 0xab, 0x0c, 0xff};
    const uint8_t b[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    const char* mine = macToTextUpper(a);
    EXPECT_STREQ(mine, "02:7E:51:AB:0C:FF");
    std::string theirs;
    std::thread other([&] { theirs = macToTextUpper(b); });
    other.join();
    EXPECT_EQ(theirs, "00:11:22:33:44:55");
    EXPECT_STREQ(mine, "02:7E:51:AB:0C:FF") << "another thread's text must not overwrite this one";
    EXPECT_STREQ(macToTextUpper(b), "00:11:22:33:44:55");
    EXPECT_EQ(macToTextUpper(a), mine) << "one buffer per thread, overwritten by its next call";
}

TEST(MacAddress, Ipv4MulticastGroups)
{
    struct Case {
        const char* group;
        uint8_t mac[6];
    };
    const Case cases[] = {
        {"224.0.0.251", {0x01, 0x00, 0x5e, 0x00, 0x00, 0xfb}},
        {"239.128.1.2", {0x01, 0x00, 0x5e, 0x00, 0x01, 0x02}},
        {"224.0.1.22", {0x01, 0x00, 0x5e, 0x00, 0x01, 0x16}},
        {"239.255.255.250", {0x01, 0x00, 0x5e, 0x7f, 0xff, 0xfa}},
    };
    for (const Case& c : cases) {
        uint8_t mac[6];
        macForIpv4Multicast(mac, SockAddr::parse(c.group));
        EXPECT_TRUE(macEquals(mac, c.mac)) << c.group;
    }
}

TEST(MacAddress, CopiesAndInterfaceReadFailures)
{
    const uint8_t src[8] = {9, 1, 2, 3, 4, 5, 6, 7};
    uint8_t dst[6] = {};
    macCopyBytes(dst, src + 1);
    const uint8_t want[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_TRUE(macEquals(dst, want));
    uint8_t copy[6];
    macCopy(copy, dst);
    EXPECT_TRUE(macEquals(copy, want));

    uint8_t mac[6];
    std::memset(mac, 0x5a, sizeof(mac));
    const uint8_t zero[6] = {};
    EXPECT_EQ(readInterfaceMac(mac, "a-name-longer-than-15"), 0);
    EXPECT_TRUE(macEquals(mac, zero));
    std::memset(mac, 0x5a, sizeof(mac));
    EXPECT_EQ(readInterfaceMac(mac, "nosuchif0"), 0);
    EXPECT_TRUE(macEquals(mac, zero));
}
