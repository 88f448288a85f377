// SockAddr: the program's one value type for IP addresses, IPv4 and IPv6
// alike. It has the layout of the system's IPv6 socket address, whose first
// 16 bytes are the IPv4 socket address, so it can be handed to the socket
// calls as it stands. It is a plain value: copy it, compare it, print it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

class NetInterface;

struct SockAddr {
    union {
        sockaddr sa;
        sockaddr_in in4;
        sockaddr_in6 in6;
    };

    SockAddr() { clear(false); }
    SockAddr(const SockAddr& other) { assign(other); }
    SockAddr& operator=(const SockAddr& other)
    {
        if (this != &other)
            assign(other);
        return *this;
    }

    // The value a text gives (see fromString).
    static SockAddr parse(const char* text);

    // All bytes 0; family AF_INET6 when ipv6, else AF_INET.
    void clear(bool ipv6);
    // IPv4 with the word as the address (already in network order).
    void setIpv4(uint32_t networkOrderWord);
    void setIpv4Bytes(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
    // IPv6 with the sixteen address bytes.
    void setIpv6Bytes(const uint8_t bytes[16]);
    // Family AF_INET6 when the text holds ':', else AF_INET; the text is
    // converted with inet_pton. Returns 1 when it parsed; a text that does not
    // parse (or a null text) leaves the address empty and returns 0.
    int fromString(const char* text);
    // Copies 28 bytes for IPv6, 16 for IPv4 (the rest is cleared).
    void assign(const SockAddr& other);

    // Same family and same address (port and scope are not compared).
    bool equals(const SockAddr& other) const;
    bool differs(const SockAddr& other) const { return !equals(other); }

    int family() const { return sa.sa_family; }
    bool isIpv6() const { return sa.sa_family == AF_INET6; }
    bool isIpv4() const { return sa.sa_family == AF_INET; }
    // IPv4: the address is not 0.0.0.0; IPv6: any address byte is not 0.
    bool isSet() const;
    // IPv4 169.254.x.y.
    bool isLinkLocal() const;
    // IPv6: always. IPv4: not 1.0.0.124, and the last octet is 1 to 254.
    bool isUsable() const;
    // IPv4 whose last octet is even (the netmask sanity test).
    bool isLastByteEven() const;
    // IPv4: the address word (network order); IPv4-mapped IPv6: its last
    // four bytes; otherwise 0.
    uint32_t ipv4Value() const;

    // The address bytes: 4 for IPv4, 16 for IPv6, 0 for another family.
    size_t addressBytes(uint8_t* out, size_t size) const;

    // inet_ntop text into buffer (size includes the terminator); "-error-"
    // for another family or when the conversion fails. Always terminated
    // when size > 0; returns the length written.
    int toString(char* buffer, size_t size) const;
    std::string str() const;
    // The text in the next of the calling thread's 16 buffers, so a caller
    // may hold up to 16 texts at once (several addresses in one message). A
    // text stays valid until the same thread has made 16 further texts.
    const char* text() const;
    // The text written with "%s"; returns fprintf's result.
    int print(FILE* out) const;

    // Name look-up: an address text that is usable is taken as it is;
    // otherwise, with `dns` on, the name service under the resolver mutex.
    // 1 with the address filled; 0 when nothing was found (the family stays,
    // the rest of the first 16 bytes is cleared).
    int resolve(const char* name);

    // The classful mask of an IPv4 address's first octet: below 128 /8,
    // below 192 /16, below 224 /24, else 0.0.0.0.
    SockAddr classfulNetmask() const;

    // Put this IPv4 value on the interface's own device; with store set it
    // also goes into its parameter. IPv6 values are refused with 0.
    // Address: `ip_addr` (and `ip_setby` := setBy when given), then the
    // netmask: `ip_mask` when set and the address is not link-local, else the
    // classful mask (stored in `ip_mask`). Returns the netmask's result, 0
    // when the address itself could not be set.
    int applyAsAddress(NetInterface& iface, const char* setBy, bool store) const;
    // A mask whose last octet is odd is refused (0) before the kernel sees
    // it; `ip_mask` takes only a mask the interface accepted.
    int applyAsNetmask(NetInterface& iface, bool store) const;
    // A set, non-link-local gateway first replaces the interface's default
    // route; an empty value gives an on-link default route.
    int applyAsGateway(NetInterface& iface, bool store) const;

    // The next ZeroConf candidate 169.254.x.y (x, y in 1..253) from the
    // interface's MAC and the previous candidate.
    void makeZeroconf(NetInterface& iface);
};

static_assert(sizeof(SockAddr) == 28, "SockAddr keeps the 28-byte socket address layout");

// Longest text toString gives (an IPv6 address with an IPv4 tail) plus its
// terminator.
constexpr size_t kSockAddrTextSize = INET6_ADDRSTRLEN;

// The text buffers of SockAddr::text(), per thread.
constexpr int kSockAddrTextBuffers = 16;
constexpr size_t kSockAddrTextBufferSize = 1025;

// Tests: the next ZeroConf candidate is computed as after a fresh start.
void resetZeroconfForTest();
