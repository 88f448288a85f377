#include "core/addr/sock_addr.h"

#include <arpa/inet.h>

#include <cstring>
#include <memory>

SockAddr SockAddr::parse(const char* text)
{
    SockAddr a;
    a.fromString(text);
    return a;
}

void SockAddr::clear(bool ipv6)
{
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
    sa.sa_family = ipv6 ? AF_INET6 : AF_INET;
}

void SockAddr::setIpv4(uint32_t networkOrderWord)
{
    clear(false);
    in4.sin_addr.s_addr = networkOrderWord;
}

void SockAddr::setIpv4Bytes(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    clear(false);
    uint8_t* p = reinterpret_cast<uint8_t*>(&in4.sin_addr.s_addr);
    p[0] = a;
    p[1] = b;
    p[2] = c;
    p[3] = d;
}

void SockAddr::setIpv6Bytes(const uint8_t bytes[16])
{
    clear(true);
    std::memcpy(in6.sin6_addr.s6_addr, bytes, 16);
}

int SockAddr::fromString(const char* text)
{
    if (!text) {
        clear(false);
        return 0;
    }
    const bool ipv6 = std::strchr(text, ':') != nullptr;
    clear(ipv6);
    void* dst = ipv6 ? static_cast<void*>(&in6.sin6_addr) : static_cast<void*>(&in4.sin_addr);
    if (inet_pton(ipv6 ? AF_INET6 : AF_INET, text, dst) == 1)
        return 1;
    clear(ipv6);
    return 0;
}

void SockAddr::assign(const SockAddr& other)
{
    const size_t n = other.isIpv6() ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
    std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), n);
}

bool SockAddr::equals(const SockAddr& other) const
{
    if (sa.sa_family != other.sa.sa_family)
        return false;
    if (isIpv6())
        return std::memcmp(in6.sin6_addr.s6_addr, other.in6.sin6_addr.s6_addr, 16) == 0;
    return in4.sin_addr.s_addr == other.in4.sin_addr.s_addr;
}

bool SockAddr::isSet() const
{
    if (!isIpv6())
        return in4.sin_addr.s_addr != 0;
    for (uint8_t b : in6.sin6_addr.s6_addr) {
        if (b)
            return true;
    }
    return false;
}

namespace {
const uint8_t* v4Bytes(const sockaddr_in& in4)
{
    return reinterpret_cast<const uint8_t*>(&in4.sin_addr.s_addr);
}
}  // namespace

bool SockAddr::isLinkLocal() const
{
    if (!isIpv4())
        return false;
    const uint8_t* p = v4Bytes(in4);
    return p[0] == 169 && p[1] == 254;
}

bool SockAddr::isUsable() const
{
    if (isIpv6())
        return true;
    const uint8_t* p = v4Bytes(in4);
    if (p[0] == 1 && p[1] == 0 && p[2] == 0 && p[3] == 124)
        return false;
    return p[3] >= 1 && p[3] <= 254;
}

bool SockAddr::isLastByteEven() const
{
    return isIpv4() && (v4Bytes(in4)[3] & 1) == 0;
}

uint32_t SockAddr::ipv4Value() const
{
    if (isIpv4())
        return in4.sin_addr.s_addr;
    if (!isIpv6())
        return 0;
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(in6.sin6_addr.s6_addr, mapped, sizeof(mapped)) != 0)
        return 0;
    uint32_t word;
    std::memcpy(&word, in6.sin6_addr.s6_addr + 12, 4);
    return word;
}

size_t SockAddr::addressBytes(uint8_t* out, size_t size) const
{
    const void* src = nullptr;
    size_t n = 0;
    if (isIpv4()) {
        src = &in4.sin_addr.s_addr;
        n = 4;
    } else if (isIpv6()) {
        src = in6.sin6_addr.s6_addr;
        n = 16;
    }
    if (n == 0 || size < n)
        return 0;
    std::memcpy(out, src, n);
    return n;
}

int SockAddr::toString(char* buffer, size_t size) const
{
    if (!buffer || size == 0)
        return 0;
    char text[kSockAddrTextSize];
    const char* done = nullptr;
    if (isIpv4())
        done = inet_ntop(AF_INET, &in4.sin_addr, text, sizeof(text));
    else if (isIpv6())
        done = inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text));
    if (!done)
        std::strcpy(text, "-error-");
    const int n = std::snprintf(buffer, size, "%s", text);
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}

std::string SockAddr::str() const
{
    char text[kSockAddrTextSize];
    toString(text, sizeof(text));
    return text;
}

namespace {

// Each thread has its own ring, made on its first text: another thread's
// texts can never overwrite one that is still being read, however the
// threads are scheduled.
struct TextRing {
    char buffers[kSockAddrTextBuffers][kSockAddrTextBufferSize];
    unsigned last = 0;
};
thread_local std::unique_ptr<TextRing> textRing;

}  // namespace

const char* SockAddr::text() const
{
    if (!textRing)
        textRing = std::make_unique<TextRing>();
    textRing->last = (textRing->last + 1) % kSockAddrTextBuffers;
    char* buffer = textRing->buffers[textRing->last];
    toString(buffer, kSockAddrTextBufferSize);
    return buffer;
}

int SockAddr::print(FILE* out) const
{
    char text[kSockAddrTextSize];
    toString(text, sizeof(text));
    return std::fprintf(out, "%s", text);
}

SockAddr SockAddr::classfulNetmask() const
{
    uint8_t octets[4] = {};
    addressBytes(octets, sizeof(octets));
    const uint8_t first = octets[0];
    SockAddr mask;
    if (first < 128)
        mask.setIpv4Bytes(255, 0, 0, 0);
    else if (first < 192)
        mask.setIpv4Bytes(255, 255, 0, 0);
    else if (first < 224)
        mask.setIpv4Bytes(255, 255, 255, 0);
    else
        mask.setIpv4Bytes(0, 0, 0, 0);
    return mask;
}
