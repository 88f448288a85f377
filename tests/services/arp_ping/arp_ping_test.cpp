#include "services/arp_ping/arp_ping_task.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>

#include <cstring>
#include <vector>

namespace {

// An IPv4 packet to destination with the given protocol, whose first
// payload byte (the ICMP type) is type; optionWords of IP options.
std::vector<uint8_t> packet(const char* destination, uint8_t protocol, uint8_t type, int optionWords = 0)
{
    const size_t header = 20 + 4 * static_cast<size_t>(optionWords);
    std::vector<uint8_t> p(header + 56, 0);
    p[0] = static_cast<uint8_t>(0x40 | (header / 4));
    p[9] = protocol;
    const uint32_t dst = inet_addr(destination);
    memcpy(&p[16], &dst, 4);
    p[header] = type;
    return p;
}

struct Case {
    const char* what;
    const char* current;
    const char* destination;
    uint8_t protocol;
    uint8_t type;
    int pktType;
    bool taken;
};

TEST(PingGivesAddress, WhichEchoRequestsAreTaken)
{
    const Case cases[] = {
        {"class A", "169.254.7.8", "10.1.2.3", 1, 8, PACKET_HOST, true},
        {"class C", "169.254.7.8", "192.168.1.230", 1, 8, PACKET_HOST, true},
        {"multicast", "169.254.7.8", "239.1.2.3", 1, 8, PACKET_HOST, false},
        {"broadcast", "169.254.7.8", "192.168.1.255", 1, 8, PACKET_HOST, false},
        {"link-local destination", "169.254.7.8", "169.254.1.1", 1, 8, PACKET_HOST, false},
        {"own address not link-local", "192.168.0.10", "10.1.2.3", 1, 8, PACKET_HOST, false},
        {"TCP", "169.254.7.8", "10.1.2.3", 6, 8, PACKET_HOST, false},
        {"UDP", "169.254.7.8", "10.1.2.3", 17, 8, PACKET_HOST, false},
        {"echo reply", "169.254.7.8", "10.1.2.3", 1, 0, PACKET_HOST, false},
        {"this network", "169.254.7.8", "0.1.2.3", 1, 8, PACKET_HOST, false},
        {"loopback", "169.254.7.8", "127.0.0.5", 1, 8, PACKET_HOST, false},
        {"reserved", "169.254.7.8", "240.1.2.3", 1, 8, PACKET_HOST, false},
        {"another host's frame", "169.254.7.8", "10.1.2.3", 1, 8, PACKET_OTHERHOST, false},
        {"own outgoing frame", "169.254.7.8", "10.1.2.3", 1, 8, PACKET_OUTGOING, false},
        {"link broadcast frame", "169.254.7.8", "10.1.2.3", 1, 8, PACKET_BROADCAST, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> p = packet(c.destination, c.protocol, c.type);
        uint32_t taken = 0;
        EXPECT_EQ(pingGivesAddress(p.data(), p.size(), c.pktType, inet_addr(c.current), &taken), c.taken);
        if (c.taken) {
            EXPECT_EQ(taken, inet_addr(c.destination));
        }
    }
}

TEST(PingGivesAddress, IcmpTypeIsReadBehindIpOptions)
{
    const uint32_t current = inet_addr("169.254.7.8");
    uint32_t taken = 0;
    // Echo request behind 8 option bytes; byte 20 holds an option, not 8.
    std::vector<uint8_t> withOptions = packet("10.1.2.3", 1, 8, 2);
    EXPECT_TRUE(pingGivesAddress(withOptions.data(), withOptions.size(), PACKET_HOST, current, &taken));

    // An echo reply whose option byte at offset 20 happens to be 8.
    std::vector<uint8_t> reply = packet("10.1.2.3", 1, 0, 2);
    reply[20] = 8;
    EXPECT_FALSE(pingGivesAddress(reply.data(), reply.size(), PACKET_HOST, current, &taken));
}

TEST(PingGivesAddress, TruncatedPacketsAreRefused)
{
    const uint32_t current = inet_addr("169.254.7.8");
    uint32_t taken = 0;
    std::vector<uint8_t> p = packet("10.1.2.3", 1, 8);
    EXPECT_FALSE(pingGivesAddress(p.data(), 27, PACKET_HOST, current, &taken)) << "no whole ICMP header";
    EXPECT_TRUE(pingGivesAddress(p.data(), 28, PACKET_HOST, current, &taken));
    std::vector<uint8_t> longHeader = packet("10.1.2.3", 1, 8, 10);
    EXPECT_FALSE(pingGivesAddress(longHeader.data(), 60, PACKET_HOST, current, &taken))
        << "header length beyond the packet";
    p[0] = 0x60;
    EXPECT_FALSE(pingGivesAddress(p.data(), p.size(), PACKET_HOST, current, &taken)) << "not IPv4";
    p[0] = 0x44;
    EXPECT_FALSE(pingGivesAddress(p.data(), p.size(), PACKET_HOST, current, &taken)) << "header below 20 bytes";
}

} // namespace
