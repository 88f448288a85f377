#include "web/pages/ipv6_addresses.h"

#include "support/temp_box_root.h"

#include <gtest/gtest.h>

namespace {

TEST(Ipv6Addresses, OnlyTheInterfacesAddressesInFileOrder)
{
    TempBoxRoot root;
    root.writeFile("/proc/net/if_inet6",
                   "fd42b0c5000000010000000000000002 02 40 00 80     eth0\n"
                   "00000000000000000000000000000001 01 80 10 80       lo\n"
                   "fe80000000000000021122fffe334455 02 40 20 80     eth0\n"
                   "fd42b0c50000000200000000000000aa 03 40 00 80   eth0.5\n"
                   "fd42zz 02 40 00 80     eth0\n"
                   "short line\n");
    std::vector<std::string> addresses;
    ASSERT_TRUE(readInterfaceIpv6Addresses(root.dir() + "/proc/net/if_inet6", "eth0", &addresses));
    EXPECT_EQ(addresses, (std::vector<std::string>{"fd42:b0c5:0:1::2", "fe80::211:22ff:fe33:4455"}));
}

TEST(Ipv6Addresses, AMissingFileIsNoList)
{
    std::vector<std::string> addresses;
    EXPECT_FALSE(readInterfaceIpv6Addresses("/nonexistent/if_inet6", "eth0", &addresses));
    EXPECT_TRUE(addresses.empty());
}

} // namespace
