#include "core/addr/mac_address.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "core/addr/sock_addr.h"
#include "core/util/number_scan.h"

namespace {

// One "%x" conversion. Values beyond 0xfff and negative ones read as
// 0x1000: the callers only need to know they are too large for a byte.
bool scanHex(const char*& p, unsigned& value)
{
    constexpr unsigned kTooLarge = 0x1000;
    ScannedNumber n;
    if (!scanNumber(p, 16, kTooLarge, &n))
        return false;
    value = n.negative && n.magnitude ? kTooLarge : unsigned(n.magnitude);
    return true;
}

}  // namespace

int macScan(const char* text, unsigned values[kMacBytes])
{
    if (!text)
        return 0;
    const char* p = text;
    int n = 0;
    while (n < int(kMacBytes)) {
        if (n > 0) {
            if (*p != ':')
                break;
            ++p;
        }
        if (!scanHex(p, values[n]))
            break;
        ++n;
    }
    return n;
}

int macParse(uint8_t mac[kMacBytes], const char* text)
{
    unsigned v[kMacBytes] = {};
    const int n = macScan(text, v);
    uint8_t next[kMacBytes];
    if (n == 6) {
        for (size_t i = 0; i < kMacBytes; ++i)
            next[i] = uint8_t(v[i]);
    } else if (n == 3) {
        next[0] = 0x02;
        next[1] = 0x7e;
        next[2] = 0x51;
        for (size_t i = 0; i < 3; ++i)
            next[3 + i] = uint8_t(v[i]);
    } else {
        return 0;
    }
    for (int i = 0; i < n; ++i) {
        if (v[i] > 0xff)
            return 0;
    }
    const bool changed = std::memcmp(mac, next, kMacBytes) != 0;
    std::memcpy(mac, next, kMacBytes);
    return changed ? 1 : 0;
}

int macToText(const uint8_t mac[kMacBytes], char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return 0;
    if (size < kMacTextSize) {
        buffer[0] = '\0';
        return 0;
    }
    return std::snprintf(buffer, size, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                         mac[5]);
}

int macPrint(const uint8_t mac[kMacBytes], FILE* out)
{
    char text[kMacTextSize];
    macToText(mac, text, sizeof(text));
    return std::fprintf(out, "%s", text);
}

bool macEquals(const uint8_t a[kMacBytes], const uint8_t b[kMacBytes])
{
    return std::memcmp(a, b, kMacBytes) == 0;
}

const char* macToTextUpper(const uint8_t mac[kMacBytes])
{
    thread_local char text[kMacTextSize];
    std::snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

void macForIpv4Multicast(uint8_t out[kMacBytes], const SockAddr& group)
{
    const uint32_t word = group.ipv4Value();
    const uint8_t* octets = reinterpret_cast<const uint8_t*>(&word);
    out[0] = 0x01;
    out[1] = 0x00;
    out[2] = 0x5e;
    out[3] = octets[1] & 0x7f;
    out[4] = octets[2];
    out[5] = octets[3];
}

int readInterfaceMac(uint8_t out[kMacBytes], const char* name)
{
    std::memset(out, 0, kMacBytes);
    if (!name)
        name = "eth0";
    if (std::strlen(name) >= IFNAMSIZ)
        return 0;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    ifreq req{};
    std::memcpy(req.ifr_name, name, std::strlen(name));
    const int rc = ioctl(fd, SIOCGIFHWADDR, &req);
    close(fd);
    if (rc != 0)
        return 0;
    macAssign(out, req.ifr_hwaddr);
    return 1;
}

void macCopy(uint8_t dst[kMacBytes], const uint8_t src[kMacBytes])
{
    std::memmove(dst, src, kMacBytes);
}

void macCopyBytes(uint8_t dst[kMacBytes], const void* bytes)
{
    std::memmove(dst, bytes, kMacBytes);
}

void macAssign(uint8_t dst[kMacBytes], const sockaddr& hwaddr)
{
    std::memcpy(dst, hwaddr.sa_data, kMacBytes);
}
