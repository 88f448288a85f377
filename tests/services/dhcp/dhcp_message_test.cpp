#include "services/dhcp/dhcp_message.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const uint8_t kMac[6] = {0x00, 0xc0, 0xeb, 0x12, 0x34, 0x56};

uint32_t ip(const char* text)
{
    return inet_addr(text);
}

// A server's reply: op 2, the cookie, then the given option bytes.
std::vector<uint8_t> reply(const std::vector<uint8_t>& options, uint32_t xid = 0x01020304)
{
    std::vector<uint8_t> d(kBootpOptionsOffset, 0);
    d[kBootpOp] = 2;
    memcpy(&d[kBootpXid], &xid, 4);
    memcpy(&d[kBootpChaddr], kMac, 6);
    const uint8_t cookie[4] = {99, 130, 83, 99};
    memcpy(&d[kBootpCookie], cookie, 4);
    for (uint8_t b : options)
        d.push_back(b);
    return d;
}

DhcpReply parsed(const std::vector<uint8_t>& options)
{
    std::vector<uint8_t> d = reply(options);
    DhcpReply r;
    EXPECT_TRUE(parseDhcpReply(d.data(), d.size(), &r));
    return r;
}

std::vector<uint8_t> textOption(uint8_t code, const std::string& text)
{
    std::vector<uint8_t> o{code, static_cast<uint8_t>(text.size())};
    for (char c : text)
        o.push_back(static_cast<uint8_t>(c));
    return o;
}

struct LeaseCase {
    const char* what;
    std::vector<uint8_t> options;
    uint32_t lease, t1, t2;
};

TEST(DhcpReply, LeaseAndRenewalTimes)
{
    const LeaseCase cases[] = {
        {"infinite lease, no renewal times", {51, 4, 0xff, 0xff, 0xff, 0xff, 255}, 0, 0, 0},
        {"infinite lease ignores a renewal time", {51, 4, 0xff, 0xff, 0xff, 0xff, 58, 4, 0, 0, 0, 10, 255}, 0, 0, 0},
        {"lease capped, times derived", {51, 4, 0x7f, 0xff, 0xff, 0xff, 255}, 33554432, 16777216, 29360128},
        {"an hour", {51, 4, 0, 0, 0x0e, 0x10, 255}, 3600, 1800, 3150},
        {"T1 capped", {51, 4, 0x7f, 0xff, 0xff, 0xff, 58, 4, 0x20, 0, 0, 0, 255}, 33554432, 16777216, 29360128},
        {"T1 before lease", {58, 4, 0, 0, 0, 100, 51, 4, 0, 0, 0x0e, 0x10, 255}, 3600, 100, 3150},
        {"T1 after lease", {51, 4, 0, 0, 0x0e, 0x10, 58, 4, 0, 0, 0, 100, 255}, 3600, 100, 3150},
        {"T2 given", {51, 4, 0, 0, 0x0e, 0x10, 59, 4, 0, 0, 0, 200, 255}, 3600, 1800, 200},
        {"lease of wrong length ignored", {51, 3, 0, 0x0e, 0x10, 255}, 0, 0, 0},
        {"T1 of wrong length ignored", {51, 4, 0, 0, 0x0e, 0x10, 58, 2, 0, 100, 255}, 3600, 1800, 3150},
        {"lease running past the datagram", {51, 8, 0, 0, 0x0e, 0x10}, 0, 0, 0},
    };
    for (const LeaseCase& c : cases) {
        SCOPED_TRACE(c.what);
        DhcpReply r = parsed(c.options);
        EXPECT_EQ(r.lease, c.lease);
        EXPECT_EQ(r.t1, c.t1);
        EXPECT_EQ(r.t2, c.t2);
    }
}

TEST(DhcpReply, AddressOptionsNeedTheirLength)
{
    DhcpReply one = parsed({6, 4, 10, 0, 0, 1, 255});
    EXPECT_TRUE(one.hasDns);
    EXPECT_EQ(one.dnsPrimary, ip("10.0.0.1"));
    EXPECT_EQ(one.dnsSecondary, 0u);

    // Five bytes hold no second address: bytes 4..7 are not read.
    DhcpReply five = parsed({6, 5, 10, 0, 0, 1, 10, 53, 1, 99, 255});
    EXPECT_EQ(five.dnsPrimary, ip("10.0.0.1"));
    EXPECT_EQ(five.dnsSecondary, 0u);

    DhcpReply two = parsed({6, 8, 10, 0, 0, 1, 10, 0, 0, 2, 1, 4, 255, 255, 0, 0, 3, 3, 10, 0, 0, 9, 255});
    EXPECT_EQ(two.dnsSecondary, ip("10.0.0.2"));
    EXPECT_EQ(two.netmask, ip("255.255.0.0"));
    EXPECT_EQ(two.router, 0u) << "a router option of three bytes";

    DhcpReply types = parsed({53, 2, 5, 5, 255});
    EXPECT_EQ(types.messageType, 0) << "a message type of two bytes";
}

TEST(DhcpReply, ServerIdentifierReplacesSiaddr)
{
    std::vector<uint8_t> d = reply({53, 1, 2, 255});
    const uint32_t siaddr = ip("10.9.9.9");
    memcpy(&d[kBootpSiaddr], &siaddr, 4);
    DhcpReply r;
    ASSERT_TRUE(parseDhcpReply(d.data(), d.size(), &r));
    EXPECT_EQ(r.serverAddress, siaddr);
    EXPECT_EQ(r.messageType, kDhcpOffer);

    d = reply({54, 4, 10, 1, 1, 1, 53, 1, 5, 255});
    memcpy(&d[kBootpSiaddr], &siaddr, 4);
    ASSERT_TRUE(parseDhcpReply(d.data(), d.size(), &r));
    EXPECT_EQ(r.serverAddress, ip("10.1.1.1"));
}

TEST(DhcpReply, TextOptions)
{
    DhcpReply longName = parsed(textOption(12, std::string(100, 'h')));
    ASSERT_TRUE(longName.hasHostName);
    EXPECT_EQ(std::string(longName.hostName), std::string(63, 'h'));

    std::vector<uint8_t> withNul = textOption(15, std::string("lab.test\0junk", 13));
    DhcpReply domain = parsed(withNul);
    ASSERT_TRUE(domain.hasDomain);
    EXPECT_STREQ(domain.domain, "lab.test");

    // A name with a line end would break the resolver file and the pages.
    DhcpReply bad = parsed(textOption(12, "box\nnameserver 6.6.6.6"));
    EXPECT_FALSE(bad.hasHostName);
    EXPECT_STREQ(bad.hostName, "") << "nothing of a refused name is kept";
}

TEST(DhcpReply, MalformedDatagrams)
{
    DhcpReply r;
    std::vector<uint8_t> shortOne = reply({});
    shortOne.resize(200);
    EXPECT_FALSE(parseDhcpReply(shortOne.data(), shortOne.size(), &r));
    EXPECT_EQ(dhcpMessageType(shortOne.data(), shortOne.size()), 0);

    std::vector<uint8_t> noOptions = reply({});
    EXPECT_EQ(noOptions.size(), kBootpOptionsOffset);
    EXPECT_FALSE(parseDhcpReply(noOptions.data(), noOptions.size(), &r));

    std::vector<uint8_t> badCookie = reply({53, 1, 5, 255});
    badCookie[kBootpCookie] = 98;
    EXPECT_FALSE(parseDhcpReply(badCookie.data(), badCookie.size(), &r));

    // A code byte with no length byte, an option past the end: the walk stops
    // at the datagram's end, whatever lies in memory behind it.
    std::vector<uint8_t> lone = reply({53, 1, 5, 6});
    lone.push_back(4);  // lies behind the datagram: not part of it
    EXPECT_EQ(dhcpMessageType(lone.data(), lone.size() - 1), kDhcpAck);
    DhcpReply cut;
    ASSERT_TRUE(parseDhcpReply(lone.data(), lone.size() - 1, &cut));
    EXPECT_FALSE(cut.hasDns);

    std::vector<uint8_t> past = reply({53, 1, 5, 3, 200, 10, 0, 0, 1});
    ASSERT_TRUE(parseDhcpReply(past.data(), past.size(), &cut));
    EXPECT_EQ(cut.messageType, kDhcpAck);
    EXPECT_EQ(cut.router, 0u);

    // Pads are skipped, the end mark ends the walk.
    EXPECT_EQ(dhcpMessageType(reply({0, 0, 53, 1, 6, 255, 53, 1, 5}).data(), kBootpOptionsOffset + 9), kDhcpNak);
    std::vector<uint8_t> bootp = reply({1, 4, 255, 255, 255, 0, 255});
    EXPECT_EQ(dhcpMessageType(bootp.data(), bootp.size()), 0) << "a BOOTP reply has no type";
}

TEST(DhcpReply, OnlyTheAnswerToOurRequestIsTaken)
{
    const uint32_t xid = 0x0a0b0c0d;
    std::vector<uint8_t> good = reply({53, 1, 5, 255}, xid);
    EXPECT_TRUE(isReplyFor(good.data(), good.size(), kMac, xid));

    struct Change {
        const char* what;
        size_t offset;
        uint8_t value;
    };
    const Change changes[] = {
        {"a request, not a reply", kBootpOp, 1},
        {"another client", kBootpChaddr + 5, 0x57},
        {"another transaction", kBootpXid, 0xff},
        {"wrong cookie", kBootpCookie + 3, 0},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> d = good;
        d[c.offset] = c.value;
        EXPECT_FALSE(isReplyFor(d.data(), d.size(), kMac, xid));
    }
    EXPECT_FALSE(isReplyFor(good.data(), 239, kMac, xid)) << "too short for the cookie";
}

// The option area as code -> data, checked to end with 255 inside the area.
std::vector<std::vector<uint8_t>> options(const uint8_t* message)
{
    std::vector<std::vector<uint8_t>> found(256);
    size_t i = kBootpOptionsOffset;
    while (i < kBootpMessageSize && message[i] != 255) {
        const uint8_t code = message[i];
        const uint8_t length = message[i + 1];
        found[code].assign(message + i + 2, message + i + 2 + length);
        i += 2 + length;
    }
    EXPECT_LT(i, kBootpMessageSize) << "no end mark";
    return found;
}

std::vector<uint8_t> bytesOf(uint32_t networkWord)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&networkWord);
    return {p[0], p[1], p[2], p[3]};
}

TEST(DhcpRequest, DiscoverAsksForTheKnownAddressFirst)
{
    uint8_t m[kBootpMessageSize];
    initBootRequest(m, kMac);
    DhcpRequestFields f;
    f.xid = 0x11223344;
    f.hostName = "box";
    buildDiscover(m, f);
    auto o = options(m);
    EXPECT_EQ(o[53], std::vector<uint8_t>{kDhcpDiscover});
    EXPECT_EQ(o[55], (std::vector<uint8_t>{1, 3, 12, 44}));
    EXPECT_TRUE(o[50].empty());
    EXPECT_EQ(o[12], (std::vector<uint8_t>{'b', 'o', 'x', 0}));
    EXPECT_EQ(o[61], (std::vector<uint8_t>{1, 0x00, 0xc0, 0xeb, 0x12, 0x34, 0x56}));
    EXPECT_EQ(memcmp(m + kBootpXid, &f.xid, 4), 0);
    EXPECT_EQ(m[kBootpFlags], 0x80);

    f.requestedAddress = ip("10.0.0.7");
    buildDiscover(m, f);
    o = options(m);
    EXPECT_EQ(o[55], (std::vector<uint8_t>{50, 1, 3, 12, 44}));
    EXPECT_EQ(o[50], bytesOf(f.requestedAddress));
}

TEST(DhcpRequest, RenewingAndSelectingRequests)
{
    uint8_t m[kBootpMessageSize];
    initBootRequest(m, kMac);
    DhcpRequestFields renew;
    renew.ciaddr = ip("10.0.0.7");
    renew.requestedAddress = ip("10.0.0.7");
    renew.hostName = "box";
    buildRequest(m, renew);
    auto o = options(m);
    EXPECT_EQ(o[53], std::vector<uint8_t>{kDhcpRequest});
    EXPECT_EQ(o[55].size(), 14u);
    EXPECT_EQ(o[50], bytesOf(renew.ciaddr));
    EXPECT_TRUE(o[54].empty());
    EXPECT_EQ(memcmp(m + kBootpCiaddr, &renew.ciaddr, 4), 0);

    DhcpRequestFields select;
    select.requestedAddress = ip("10.0.0.9");
    select.serverId = ip("10.0.0.1");
    select.hostName = "box";
    buildRequest(m, select);
    o = options(m);
    EXPECT_EQ(o[50], bytesOf(select.requestedAddress));
    EXPECT_EQ(o[54], bytesOf(select.serverId));
    const uint8_t zero[4] = {};
    EXPECT_EQ(memcmp(m + kBootpCiaddr, zero, 4), 0);
}

TEST(DhcpRequest, LongHostNameStillEndsTheOptions)
{
    uint8_t m[kBootpMessageSize];
    initBootRequest(m, kMac);
    const std::string name(400, 'n');
    DhcpRequestFields f;
    f.hostName = name.c_str();
    buildRequest(m, f);
    auto o = options(m);
    EXPECT_FALSE(o[12].empty());
    EXPECT_LE(o[12].size(), 255u);
}

TEST(Checksum, Rfc1071ExampleAtAnyAlignment)
{
    const uint8_t sample[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(inetChecksum(sample, sizeof sample), 0xddf2);
    uint8_t shifted[sizeof sample + 1];
    memcpy(shifted + 1, sample, sizeof sample);
    EXPECT_EQ(inetChecksum(shifted + 1, sizeof sample), 0xddf2);
    const uint8_t odd[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(inetChecksum(odd, 3), 0x0102 + 0x0300);
}

TEST(BroadcastFrame, HeadersAndChecksumsVerify)
{
    uint8_t m[kBootpMessageSize];
    initBootRequest(m, kMac);
    DhcpRequestFields f;
    f.hostName = "box";
    buildDiscover(m, f);
    uint8_t frame[kBootpFrameSize];
    buildBroadcastFrame(frame, m, 7);

    EXPECT_EQ(frame[0], 0x45);
    EXPECT_EQ(frame[2] << 8 | frame[3], 576);
    EXPECT_EQ(frame[8], 64);
    EXPECT_EQ(frame[9], 17);
    EXPECT_EQ(inetChecksum(frame, 20), 0xffff) << "header checksum";
    EXPECT_EQ(frame[20] << 8 | frame[21], 68);
    EXPECT_EQ(frame[22] << 8 | frame[23], 67);
    EXPECT_EQ(frame[24] << 8 | frame[25], 556);
    EXPECT_EQ(frame[28 + kBootpSecs] << 8 | frame[28 + kBootpSecs + 1], 7);
    EXPECT_EQ(memcmp(frame + 28, m, kBootpMessageSize), 0);

    // RFC 768: the pseudo-header (source, destination, zero, protocol, UDP
    // length) followed by the UDP datagram sums to all ones.
    std::vector<uint8_t> pseudo = {0, 0, 0, 0, 255, 255, 255, 255, 0, 17, 556 >> 8, 556 & 0xff};
    pseudo.insert(pseudo.end(), frame + 20, frame + kBootpFrameSize);
    EXPECT_EQ(inetChecksum(pseudo.data(), pseudo.size()), 0xffff) << "UDP checksum";
}

TEST(DhcpLeaseDeadline, SixtyFourBitsAndNeverInThePast)
{
    // (lease - T2) x 100 of a capped lease does not fit 32 bits.
    EXPECT_EQ(dhcpLeaseDeadline(1000, kDhcpLeaseCap, 1000), 1000 + uint64_t{kDhcpLeaseCap} * 100);
    EXPECT_EQ(dhcpLeaseDeadline(1000, 3600, 5000), 361000u);
    EXPECT_EQ(dhcpLeaseDeadline(1000, 10, 9000), 9001u) << "already past";
    EXPECT_EQ(dhcpLeaseDeadline(1000, 0, 1000), 1001u);
}

} // namespace
