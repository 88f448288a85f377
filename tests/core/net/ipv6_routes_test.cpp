#include "core/net/net_interface.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Lines as the kernel writes them: destination, its length, source, its
// length, next hop, metric, references, use, flags, device.
const char kRouteFile[] =
    "20010db8000000000000000000000000 40 00000000000000000000000000000000 00 "
    "00000000000000000000000000000000 00000001 00000000 00000000 00000001     eth0\n"
    "fe800000000000000000000000000000 40 00000000000000000000000000000000 00 "
    "00000000000000000000000000000000 00000100 00000001 00000000 00000001     eth0\n"
    "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
    "fe800000000000000000000000000001 00000400 00000001 00000000 00000003     eth0\n"
    "20010db8000100000000000000000000 40 00000000000000000000000000000000 00 "
    "00000000000000000000000000000000 00000001 00000000 00000000 00000001     wlan0\n"
    "20010db8000200000000000000000000 40 00000000000000000000000000000000 00 "
    "00000000000000000000000000000000 00000001 00000000 00000000 00000000     eth0\n";

TEST(Ipv6Routes, TheUpRoutesOfTheDeviceAreListedInCanonicalText)
{
    TempBoxRoot root;
    root.writeFile("/proc/net/ipv6_route", kRouteFile);
    std::vector<Ipv6Route> routes;
    ASSERT_TRUE(readIpv6Routes("eth0", routes));
    ASSERT_EQ(routes.size(), 3u);
    EXPECT_STREQ(routes[0].destination, "2001:db8::");
    EXPECT_EQ(routes[0].prefixLength, 64);
    EXPECT_STREQ(routes[0].nextHop, "::");
    EXPECT_STREQ(routes[1].destination, "fe80::");
    EXPECT_STREQ(routes[2].destination, "::");
    EXPECT_EQ(routes[2].prefixLength, 0);
    EXPECT_STREQ(routes[2].nextHop, "fe80::1");
}

TEST(Ipv6Routes, AMalformedDestinationEndsTheListAndAMissingFileGivesNone)
{
    TempBoxRoot root;
    std::string file = kRouteFile;
    std::string broken = file.substr(0, file.find('\n') + 1) +
                         "2001zzzz000000000000000000000000 40 00000000000000000000000000000000 00 "
                         "00000000000000000000000000000000 00000001 00000000 00000000 00000001     eth0\n";
    root.writeFile("/proc/net/ipv6_route", broken);
    std::vector<Ipv6Route> routes;
    EXPECT_FALSE(readIpv6Routes("eth0", routes));
    EXPECT_EQ(routes.size(), 1u) << "what came before it stays";

    TempBoxRoot empty;
    EXPECT_FALSE(readIpv6Routes("eth0", routes));
    EXPECT_TRUE(routes.empty());
}

} // namespace
