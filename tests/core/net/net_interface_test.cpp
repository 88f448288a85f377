#include "core/net/net_interface.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "core/addr/mac_address.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "core/addr/sock_addr.h"
#include "support/message_recorder.h"
#include "support/private_netns.h"
#include "support/product_record.h"

namespace {

using namespace std::chrono_literals;
using netns::out;

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The operational flags follow the carrier through the kernel's link watch,
// a moment after the change: bounded wait.
template <typename Cond>
bool eventually(Cond cond)
{
    const auto limit = std::chrono::steady_clock::now() + 5s;
    while (!cond() && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(5ms);
    return cond();
}

class Interface : public PrivateNetnsTest {
protected:
    void SetUp() override
    {
        PrivateNetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        useProduct(root_, "product_id=1\nphy0_addr=4\nusb_ports_phy=4\ndevice_types=UUUU\n");
        iface_.setName("eth0");
        ASSERT_EQ(iface_.openSocket(), 1);
        params::ip_addr()->setAddress(SockAddr::parse("0.0.0.0"));
        params::ip_mask()->setAddress(SockAddr::parse("255.255.255.0"));
        params::ip_gate()->setAddress(SockAddr::parse("0.0.0.0"));
    }

    std::string addr() { return out("ip -4 -o addr show dev eth0"); }
    std::string routes() { return out("ip -4 route show"); }

    TempBoxRoot root_;
    NetInterface iface_;
};

TEST_F(Interface, FlagsUpAndDown)
{
    EXPECT_EQ(iface_.isUp(), 0);
    ASSERT_EQ(iface_.up(), 1);
    EXPECT_EQ(iface_.isUp(), 1);
    EXPECT_TRUE(contains(out("ip -o link show dev eth0"), ",UP"));
    EXPECT_TRUE(eventually([&] { return iface_.isUp(nullptr, true) == 1; })) << "the peer is up";
    EXPECT_EQ(iface_.isRunning(), 1);

    short flags = 0;
    ASSERT_EQ(iface_.getFlags(&flags), 1);
    EXPECT_TRUE(flags & IFF_MULTICAST);
    ASSERT_EQ(iface_.down(), 1);
    EXPECT_EQ(iface_.isUp(), 0);
    ASSERT_EQ(iface_.getFlags(&flags), 1);
    EXPECT_TRUE(flags & IFF_MULTICAST) << "down keeps the other flags";

    EXPECT_EQ(iface_.isUp("nosuch0"), 0);
    EXPECT_EQ(iface_.up("nosuch0"), 0);
    EXPECT_EQ(iface_.down("nosuch0"), 0);
    NetInterface closed("eth0");
    EXPECT_EQ(closed.isUp(), 0) << "no control socket yet";
}

TEST_F(Interface, SetAddressAnnouncesOnlyAReplacement)
{
    MessageRecorder recorder;
    ASSERT_TRUE(recorder.started());
    ASSERT_EQ(iface_.up(), 1);
    struct Step {
        const char* address;
        int result;
        std::vector<uint32_t> broadcast;
    };
    const Step steps[] = {
        {"198.18.7.2", 1, {}},                      // first address
        {"198.18.7.2", 1, {}},                      // the same again
        {"198.18.7.3", 1, {MSG_ADDRESS_REPLACED}},  // replaced
        {"0.0.0.0", 1, {MSG_ADDRESS_REPLACED}},     // taken away
    };
    for (const Step& s : steps) {
        EXPECT_EQ(iface_.setAddress(SockAddr::parse(s.address)), s.result) << s.address;
        EXPECT_EQ(recorder.drain(), s.broadcast) << s.address;
    }
    EXPECT_FALSE(contains(addr(), "inet ")) << addr();

    EXPECT_EQ(iface_.setAddress(SockAddr::parse("198.18.7.9"), "nosuch0"), 0);
    EXPECT_EQ(iface_.setAddress(SockAddr::parse("fd42:b0c5::9")), 0);
    EXPECT_TRUE(recorder.drain().empty()) << "a refused address announces nothing";

    ASSERT_EQ(iface_.setAddress(SockAddr::parse("198.18.7.2")), 1);
    SockAddr read;
    EXPECT_EQ(iface_.getAddress(&read, nullptr, -1), 1);
    EXPECT_EQ(read.str(), "198.18.7.2");
    EXPECT_EQ(iface_.getAddress(&read, nullptr, 7), 0) << "no eth0.7";
    EXPECT_FALSE(read.isSet());
}

std::vector<std::string> addressesShown;
void recordAddress(const SockAddr& address)
{
    addressesShown.push_back(address.str());
}

// The hook hears of every address the interface took, not of one it already
// had nor of one the kernel refused.
TEST_F(Interface, SetAddressHandsEveryNewAddressToTheHook)
{
    ASSERT_EQ(iface_.up(), 1);
    addressesShown.clear();
    setAddressSetHook(recordAddress);
    EXPECT_EQ(iface_.setAddress(SockAddr::parse("198.18.7.2")), 1);
    EXPECT_EQ(iface_.setAddress(SockAddr::parse("198.18.7.2")), 1);
    EXPECT_EQ(iface_.setAddress(SockAddr::parse("198.18.7.9"), "nosuch0"), 0);
    EXPECT_EQ(iface_.setAddress(SockAddr::parse("0.0.0.0")), 1);
    setAddressSetHook(nullptr);
    EXPECT_EQ(addressesShown, (std::vector<std::string>{"198.18.7.2", "0.0.0.0"}));
}

TEST_F(Interface, NetmaskWithOddLastOctetNeverReachesTheKernel)
{
    ASSERT_EQ(iface_.up(), 1);
    ASSERT_EQ(iface_.setAddress(SockAddr::parse("198.18.7.2")), 1);
    ASSERT_EQ(iface_.setNetmask(SockAddr::parse("255.255.0.0")), 1);
    EXPECT_TRUE(contains(addr(), "198.18.7.2/16")) << addr();
    EXPECT_EQ(iface_.setNetmask(SockAddr::parse("255.255.255.1")), 0);
    EXPECT_EQ(iface_.setNetmask(SockAddr::parse("255.255.255.255")), 0);
    EXPECT_TRUE(contains(addr(), "198.18.7.2/16")) << addr();
    EXPECT_EQ(iface_.setNetmask(SockAddr::parse("255.0.255.0")), 0) << "the kernel refuses a gap";
    EXPECT_TRUE(contains(addr(), "198.18.7.2/16")) << addr();
}

TEST_F(Interface, ApplyAsAddressStoresSourceAndMask)
{
    ASSERT_EQ(iface_.up(), 1);
    struct Case {
        const char* address;
        const char* storedMask;  // ip_mask before
        const char* kernel;      // expected in `ip addr`
        const char* maskAfter;   // ip_mask after
        const char* setBy;
    };
    const Case cases[] = {
        // Empty mask: the classful one is applied and stored.
        {"198.18.7.2", "0.0.0.0", "198.18.7.2/24", "255.255.255.0", "dhcp"},
        // A stored mask is applied to a routable address.
        {"198.18.7.2", "255.254.0.0", "198.18.7.2/15", "255.254.0.0", "http"},
        // Link-local addresses always get /16.
        {"169.254.3.4", "255.255.255.0", "169.254.3.4/16", "255.255.0.0", "zconf"},
    };
    for (const Case& c : cases) {
        params::ip_mask()->setAddress(SockAddr::parse(c.storedMask));
        EXPECT_EQ(SockAddr::parse(c.address).applyAsAddress(iface_, c.setBy, true), 1) << c.address;
        EXPECT_TRUE(contains(addr(), c.kernel)) << c.address << ": " << addr();
        EXPECT_EQ(params::ip_addr()->address().str(), c.address);
        EXPECT_EQ(params::ip_mask()->address().str(), c.maskAfter) << c.address;
        EXPECT_STREQ(params::ip_setby()->currentToken(), c.setBy);
    }
    // Without the store flag nothing goes into the parameters.
    EXPECT_EQ(SockAddr::parse("198.18.7.5").applyAsAddress(iface_, "slp", false), 1);
    EXPECT_TRUE(contains(addr(), "198.18.7.5/16")) << "the stored mask: " << addr();
    EXPECT_EQ(params::ip_addr()->address().str(), "169.254.3.4");
    EXPECT_STREQ(params::ip_setby()->currentToken(), "zconf");
    EXPECT_EQ(SockAddr::parse("fd42:b0c5::2").applyAsAddress(iface_, "dhcp", true), 0);
}

TEST_F(Interface, ApplyAsNetmaskStoresOnlyAnAcceptedMask)
{
    ASSERT_EQ(iface_.up(), 1);
    ASSERT_EQ(SockAddr::parse("198.18.7.2").applyAsAddress(iface_, nullptr, true), 1);
    params::ip_mask()->setAddress(SockAddr::parse("255.255.255.0"));
    for (const char* refused : {"255.255.255.1", "255.255.255.255", "255.0.255.0"}) {
        EXPECT_EQ(SockAddr::parse(refused).applyAsNetmask(iface_, true), 0) << refused;
        EXPECT_EQ(params::ip_mask()->address().str(), "255.255.255.0") << refused;
        EXPECT_TRUE(contains(addr(), "198.18.7.2/24")) << addr();
    }
    EXPECT_EQ(SockAddr::parse("0.0.0.0").applyAsNetmask(iface_, true), 1);
    EXPECT_EQ(params::ip_mask()->address().str(), "0.0.0.0");
    EXPECT_TRUE(contains(addr(), "198.18.7.2/0")) << addr();
}

TEST_F(Interface, ApplyAsGatewayReplacesTheDefaultRoute)
{
    ASSERT_EQ(iface_.up(), 1);
    ASSERT_EQ(SockAddr::parse("198.18.7.2").applyAsAddress(iface_, nullptr, true), 1);

    EXPECT_EQ(SockAddr::parse("198.18.7.1").applyAsGateway(iface_, true), 1);
    EXPECT_TRUE(contains(routes(), "default via 198.18.7.1 dev eth0")) << routes();
    EXPECT_EQ(params::ip_gate()->address().str(), "198.18.7.1");

    EXPECT_EQ(SockAddr::parse("198.18.7.254").applyAsGateway(iface_, true), 1);
    const std::string after = routes();
    EXPECT_TRUE(contains(after, "default via 198.18.7.254 dev eth0")) << after;
    EXPECT_FALSE(contains(after, "via 198.18.7.1 ")) << "the old default route is gone: " << after;

    // Applying the same gateway again is no failure.
    EXPECT_EQ(SockAddr::parse("198.18.7.254").applyAsGateway(iface_, false), 1);
    EXPECT_EQ(out("ip -4 route show default | wc -l"), "1\n");

    // An unreachable gateway is refused by the kernel.
    EXPECT_EQ(SockAddr::parse("198.19.9.9").applyAsGateway(iface_, false), 0);
}

// The static IPv6 address and route of the parameters, as the kernel lists
// them on eth0.
void useIpv6Params()
{
    params::ipv6_addr()->set("2001:db8::7", -1);
    params::ipv6_plen()->set("64", -1);
    params::ipv6_gate()->set("2001:db8:1::", -1);
}
bool hasIpv6Address()
{
    return contains(out("ip -6 addr show dev eth0"), "inet6 2001:db8::7/64");
}
bool hasIpv6Route()
{
    return contains(out("ip -6 route show dev eth0"), "2001:db8:1::/64 metric 1");
}

TEST_F(Interface, SetupIpv4OnALinkLocalAddress)
{
    useProduct(root_, "product_id=1\ncompat_id=80\nphy0_addr=4\nusb_ports_phy=4\n");
    params::ipv6()->setValue(1);
    params::sw_features()->setValue(0);
    useIpv6Params();
    ASSERT_EQ(iface_.up(), 1);
    const SockAddr address = SockAddr::parse("169.254.10.20");
    params::ip_addr()->setAddress(address);
    params::ip_gate()->setAddress(SockAddr::parse("198.18.7.1"));
    ASSERT_EQ(address.applyAsAddress(iface_, "zconf", true), 1);

    testing::internal::CaptureStderr();
    EXPECT_EQ(iface_.setupIpv4(), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(err, "### ZeroConf IP:169.254.10.20 setup linklocal configuration ###\n")) << err;
    EXPECT_EQ(params::ip_gate()->address().str(), "0.0.0.0");
    EXPECT_TRUE(contains(routes(), "default dev eth0 scope link")) << routes();
    EXPECT_FALSE(hasIpv6Address()) << "IPv6 is not set up on a link-local address";
    EXPECT_EQ(iface_.isUp(), 1) << "the bounce ends with the link up";
}

TEST_F(Interface, SetupIpv4WithAGateway)
{
    useProduct(root_, "product_id=1\ncompat_id=80\nphy0_addr=4\nusb_ports_phy=4\n");
    params::ipv6()->setValue(1);
    params::sw_features()->setValue(0);
    useIpv6Params();
    ASSERT_EQ(iface_.up(), 1);
    const SockAddr address = SockAddr::parse("198.18.7.2");
    ASSERT_EQ(address.applyAsAddress(iface_, "http", true), 1);
    params::ip_gate()->setAddress(SockAddr::parse("198.18.7.1"));

    testing::internal::CaptureStderr();
    EXPECT_EQ(iface_.setupIpv4(), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(err, "### Non Zeronf IP:198.18.7.2 setup default Gate:198.18.7.1 ###\n")) << err;
    EXPECT_TRUE(contains(routes(), "default via 198.18.7.1 dev eth0")) << routes();
    EXPECT_TRUE(hasIpv6Address()) << out("ip -6 addr show dev eth0");
    EXPECT_TRUE(hasIpv6Route()) << out("ip -6 route show dev eth0");

    // The end of the run takes off what was applied, even after the
    // parameters changed.
    params::ipv6_addr()->set("2001:db8::99", -1);
    EXPECT_EQ(iface_.applyIpv6Address(false), 1);
    EXPECT_EQ(iface_.applyIpv6Route(false), 1);
    EXPECT_FALSE(hasIpv6Address());
    EXPECT_FALSE(hasIpv6Route());
    EXPECT_EQ(iface_.applyIpv6Address(false), 0) << "nothing is applied any more";

    params::ipv6()->setValue(0);
    EXPECT_EQ(iface_.setupIpv4(), 1);
    EXPECT_FALSE(hasIpv6Address()) << "`ipv6` off";

    NetInterface missing("nosuch0");
    ASSERT_EQ(missing.openSocket(), 1);
    EXPECT_EQ(missing.setupIpv4(), 0);
}

TEST_F(Interface, RouteLinkLocalOnlyForALinkLocalAddress)
{
    ASSERT_EQ(iface_.up(), 1);
    ASSERT_EQ(SockAddr::parse("198.18.7.2").applyAsAddress(iface_, nullptr, true), 1);
    params::ip_gate()->setAddress(SockAddr::parse("198.18.7.1"));
    EXPECT_EQ(iface_.routeLinkLocal(), 0);
    EXPECT_EQ(params::ip_gate()->address().str(), "198.18.7.1");
    ASSERT_EQ(SockAddr::parse("169.254.1.2").applyAsAddress(iface_, nullptr, true), 1);
    EXPECT_EQ(iface_.routeLinkLocal(), 1);
    EXPECT_EQ(params::ip_gate()->address().str(), "0.0.0.0");
    EXPECT_EQ(iface_.routeLinkLocal(), 1) << "the on-link route is there already";
}

TEST_F(Interface, LinkFollowsTheCarrierWithoutAReadablePhy)
{
    ASSERT_EQ(iface_.up(), 1);
    int mask = -1;
    EXPECT_EQ(iface_.linkStatus(&mask), 1);
    EXPECT_EQ(mask, 0x10) << "PHY address 4";
    netns::must("ip link set veth0 down");
    EXPECT_EQ(iface_.linkStatus(&mask), 0);
    EXPECT_EQ(mask, 0);
    netns::must("ip link set veth0 up");
    EXPECT_EQ(iface_.linkStatus(&mask), 1);
    EXPECT_EQ(mask, 0x10);
    EXPECT_EQ(iface_.linkStatus(nullptr), 1);

    useProduct(root_, "product_id=353\nphy0_addr=4\nusb_ports_phy=8\n");
    EXPECT_EQ(iface_.linkStatus(&mask), 1);
    EXPECT_EQ(mask, 0x11) << "both PHYs of the two-PHY model";
    netns::must("ip link set veth0 down");
    EXPECT_EQ(iface_.linkStatus(&mask), 0);
    EXPECT_EQ(mask, 0);

    useProduct(root_, "product_id=357\nphy0_addr=4\nusb_ports_phy=8\n");
    mask = -7;
    EXPECT_EQ(iface_.linkStatus(&mask), 1) << "this model always reports link";
    EXPECT_EQ(mask, -7) << "and leaves the mask alone";
}

// A PHY in memory: register 17 bit 0x400 is the link; register 0 keeps
// what is written. PHY addresses without an entry do not answer.
std::map<int, std::map<int, uint16_t>> fakePhys;
int fakeMii(NetInterface&, bool write, int phy, int reg, uint16_t* value)
{
    auto it = fakePhys.find(phy);
    if (it == fakePhys.end()) {
        errno = EIO;
        return 0;
    }
    if (write)
        it->second[reg] = *value;
    else
        *value = it->second[reg];
    return 1;
}

// A PHY that answers reads but ignores writes (nothing behind the bus).
int deafMii(NetInterface&, bool write, int, int, uint16_t* value)
{
    if (!write)
        *value = 0x1140;
    return 1;
}

TEST_F(Interface, PhyRegistersAndTheLock)
{
    setMiiAccessForTest(fakeMii);
    fakePhys = {{4, {{0, 0x1140}, {17, 0x0400}}}, {0, {{17, 0x0000}}}};
    int mask = -1;
    EXPECT_EQ(iface_.linkStatus(&mask), 1);
    EXPECT_EQ(mask, 0x10);
    fakePhys[4][17] = 0x0000;
    EXPECT_EQ(iface_.linkStatus(&mask), 0);
    EXPECT_EQ(mask, 0);

    useProduct(root_, "product_id=353\nphy0_addr=4\nusb_ports_phy=8\n");
    fakePhys[0][17] = 0x0400;
    EXPECT_EQ(iface_.linkStatus(&mask), 1);
    EXPECT_EQ(mask, 0x01) << "only the second PHY has link";
    fakePhys[4][17] = 0x0c00;
    EXPECT_EQ(iface_.linkStatus(&mask), 1);
    EXPECT_EQ(mask, 0x11);

    // probePhy toggles loopback and leaves the register as it was.
    EXPECT_EQ(iface_.probePhy(), 1);
    EXPECT_EQ(fakePhys[4][0], 0x1140);
    setMiiAccessForTest(deafMii);
    EXPECT_EQ(iface_.probePhy(), 0);

    // A read that fails everywhere (no PHY, no such interface) gives no
    // link and leaves the lock free.
    setMiiAccessForTest(fakeMii);
    fakePhys.clear();
    NetInterface missing("nosuch0");
    ASSERT_EQ(missing.openSocket(), 1);
    mask = -1;
    EXPECT_EQ(missing.linkStatus(&mask), 0);
    EXPECT_EQ(mask, 0);
    ASSERT_TRUE(tryLockPhy()) << "the PHY lock was left held";
    unlockPhy();
    EXPECT_EQ(missing.probePhy(), 0);
    ASSERT_TRUE(tryLockPhy());

    // While another holder has the lock, a poll waits for it.
    fakePhys = {{4, {{17, 0x0400}}}, {0, {{17, 0x0400}}}};
    auto poll = std::async(std::launch::async, [this] {
        int m = 0;
        iface_.linkStatus(&m);
        return m;
    });
    EXPECT_EQ(poll.wait_for(50ms), std::future_status::timeout);
    unlockPhy();
    ASSERT_EQ(poll.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(poll.get(), 0x11);
    setMiiAccessForTest(nullptr);
}

TEST_F(Interface, JoinMulticastMac)
{
    ASSERT_EQ(iface_.up(), 1);
    makeVlanStandIn(7);
    EXPECT_EQ(iface_.joinMulticastMac(SockAddr::parse("224.0.0.251"), -1), 1);
    EXPECT_TRUE(contains(out("ip maddr show dev eth0"), "link  01:00:5e:00:00:fb static"));
    EXPECT_EQ(iface_.joinMulticastMac(SockAddr::parse("239.128.1.2"), 7), 1);
    EXPECT_TRUE(contains(out("ip maddr show dev eth0.7"), "link  01:00:5e:00:01:02 static"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(iface_.joinMulticastMac(SockAddr::parse("224.0.0.251"), 9), 0);
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "ioctl(SIOCADDMULTI)"));
}

TEST_F(Interface, GratuitousArpIsOneReplyFrame)
{
    ASSERT_EQ(iface_.up(), 1);
    const int sniff = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP));
    ASSERT_GE(sniff, 0);
    sockaddr_ll peer{};
    peer.sll_family = AF_PACKET;
    peer.sll_protocol = htons(ETH_P_ARP);
    peer.sll_ifindex = static_cast<int>(if_nametoindex("veth0"));
    ASSERT_EQ(bind(sniff, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)), 0);

    ASSERT_EQ(iface_.sendGratuitousArp(SockAddr::parse("198.18.7.2")), 1);
    pollfd p{sniff, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    uint8_t frame[128];
    const ssize_t n = recv(sniff, frame, sizeof(frame), 0);
    close(sniff);
    ASSERT_EQ(n, 42);
    const uint8_t expected[42] = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // to everyone
        0x02, 0x7e, 0x51, 0x0a, 0x0b, 0x0c,  // from eth0
        0x08, 0x06,                          // ARP
        0x00, 0x01, 0x08, 0x00, 6, 4,        // Ethernet, IPv4
        0x00, 0x02,                          // reply
        0x02, 0x7e, 0x51, 0x0a, 0x0b, 0x0c, 198, 18, 7, 2,  // sender
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 198, 18, 7, 2,  // target
    };
    EXPECT_EQ(std::memcmp(frame, expected, sizeof(expected)), 0);

    NetInterface missing("nosuch0");
    testing::internal::CaptureStderr();
    EXPECT_EQ(missing.sendGratuitousArp(SockAddr::parse("198.18.7.2")), 0);
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "bind"));
}

TEST_F(Interface, ZeroconfCandidates)
{
    resetZeroconfForTest();
    SockAddr first;
    first.makeZeroconf(iface_);
    // Worked out by hand from the MAC 02:7e:51:0a:0b:0c and a fresh start.
    EXPECT_EQ(first.str(), "169.254.143.217");
    SockAddr second;
    second.makeZeroconf(iface_);
    EXPECT_EQ(second.str(), "169.254.64.175");

    // Bytes with the top bit set count as negative.
    netns::must("ip link set eth0 address 02:7e:51:8a:fb:cc");
    resetZeroconfForTest();
    SockAddr signedBytes;
    signedBytes.makeZeroconf(iface_);
    EXPECT_EQ(signedBytes.str(), "169.254.166.110");

    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        SockAddr a;
        a.makeZeroconf(iface_);
        ASSERT_TRUE(a.isLinkLocal());
        uint8_t b[4];
        a.addressBytes(b, sizeof(b));
        EXPECT_GE(b[2], 1);
        EXPECT_LE(b[2], 253);
        EXPECT_GE(b[3], 1);
        EXPECT_LE(b[3], 253);
        seen.insert(a.str());
    }
    EXPECT_GT(seen.size(), 100u) << "candidates keep changing";

    // Without a readable MAC of its own the interface uses eth0's.
    netns::must("ip link set eth0 address 02:7e:51:0a:0b:0c");
    NetInterface missing("nosuch0");
    ASSERT_EQ(missing.openSocket(), 1);
    resetZeroconfForTest();
    SockAddr fallback;
    fallback.makeZeroconf(missing);
    EXPECT_EQ(fallback.str(), "169.254.143.217");
}

}  // namespace
