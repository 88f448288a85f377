// The DHCP/BOOTP message (RFC 951, RFC 2131/2132): building the client's
// requests into the 548-byte message, wrapping one in a broadcast IPv4/UDP
// frame, and reading a server's reply. Every field and every option of a
// reply is bounded by the datagram that carried it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kBootpMessageSize = 548;
constexpr size_t kBootpOptionsOffset = 240;
constexpr size_t kBootpOptionsSize = kBootpMessageSize - kBootpOptionsOffset;
constexpr size_t kBootpFrameSize = 576;  // IPv4 header, UDP header, message
constexpr uint16_t kBootpServerPort = 67;
constexpr uint16_t kBootpClientPort = 68;

// Message field offsets.
enum : size_t {
    kBootpOp = 0,
    kBootpXid = 4,
    kBootpSecs = 8,
    kBootpFlags = 10,
    kBootpCiaddr = 12,
    kBootpYiaddr = 16,
    kBootpSiaddr = 20,
    kBootpChaddr = 28,
    kBootpCookie = 236,
};

// Option 53 values.
enum : uint8_t {
    kDhcpDiscover = 1,
    kDhcpOffer = 2,
    kDhcpRequest = 3,
    kDhcpAck = 5,
    kDhcpNak = 6,
};

// Longest lease and renewal times taken from a server, in seconds.
constexpr uint32_t kDhcpLeaseCap = 0x2000000;
constexpr uint32_t kDhcpRenewCap = 0x1000000;

// A BOOTREQUEST template: op 1, Ethernet, the MAC in chaddr, the broadcast
// flag, the magic cookie, everything else 0.
void initBootRequest(uint8_t message[kBootpMessageSize], const uint8_t mac[6]);

// Addresses are IPv4 words in network order; 0 means "not set".
struct DhcpRequestFields {
    uint32_t xid = 0;
    uint32_t ciaddr = 0;
    uint32_t serverId = 0;        // option 54 when set
    uint32_t requestedAddress = 0;  // option 50 when set
    const char* hostName = "";    // option 12, sent with its terminating NUL
};

// The option area is rewritten whole; the fixed fields named here are set.
void buildDiscover(uint8_t message[kBootpMessageSize], const DhcpRequestFields& fields);
void buildRequest(uint8_t message[kBootpMessageSize], const DhcpRequestFields& fields);
// A plain BOOTP request: ciaddr 0, the first 60 option bytes cleared.
void buildBootRequest(uint8_t message[kBootpMessageSize], uint32_t xid);

// RFC 1071 sum over bytes at any address, folded to 16 bits (not inverted).
uint16_t inetChecksum(const void* data, size_t length);

// The message as a broadcast IPv4/UDP frame from 0.0.0.0:68 to
// 255.255.255.255:67, with both checksums. secs goes into the message first.
void buildBroadcastFrame(uint8_t frame[kBootpFrameSize], uint8_t message[kBootpMessageSize], uint16_t secs);

// Whether a datagram is the reply to the request with this xid from this
// client: long enough to hold the cookie, the cookie, op 2, chaddr, xid.
bool isReplyFor(const uint8_t* data, size_t length, const uint8_t mac[6], uint32_t xid);

// Value of option 53, or 0 when there is none (a BOOTP reply).
int dhcpMessageType(const uint8_t* data, size_t length);

// What a reply offers. Addresses in network order, 0 when absent. Texts are
// NUL-terminated and hold no control characters (an option carrying one is
// left out).
struct DhcpReply {
    int messageType = 0;
    uint32_t yiaddr = 0;
    uint32_t serverAddress = 0;   // option 54, else siaddr
    uint32_t netmask = 0;
    uint32_t router = 0;
    bool hasDns = false;
    uint32_t dnsPrimary = 0;
    uint32_t dnsSecondary = 0;
    uint32_t ntpServer = 0;
    bool hasHostName = false;
    char hostName[64] = {};       // at most 63 characters
    bool hasDomain = false;
    char domain[256] = {};
    bool hasLease = false;
    uint32_t lease = 0;           // capped; 0 = infinite
    uint32_t t1 = 0;              // 0 = never renew
    uint32_t t2 = 0;
};

// Reads a reply; false when it is too short for the cookie or the cookie is
// wrong. Options of the wrong length are ignored.
bool parseDhcpReply(const uint8_t* data, size_t length, DhcpReply* out);

// The tick (1/100 s) a lease taken at startTick reaches the given age in
// seconds; a time already past gives the next tick after now.
uint64_t dhcpLeaseDeadline(uint64_t startTick, uint32_t seconds, uint64_t now);
