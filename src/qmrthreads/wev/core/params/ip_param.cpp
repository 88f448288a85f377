#include "core/params/param.h"

#include <arpa/inet.h>

#include <cstring>

#include "core/addr/dotted_quad.h"

namespace {
// Longer texts cannot be an address.
constexpr size_t kAddressTextMax = 63;
}

IpParam::IpParam(const char* name, const SockAddr& address, int kind, const void* table, uint32_t flags)
    : Param(name, kind, table, flags), addr_(address)
{
}

bool IpParam::isValid(const char* text) const
{
    int32_t parts[4];
    if (scanDottedQuad(text, parts) != 4)
        return false;
    for (int32_t p : parts) {
        if (p < 0 || p > 255)
            return false;
    }
    return true;
}

int IpParam::assignFamily(const char* text, int length, bool ipv6)
{
    if (!text)
        return 0;
    const size_t len = length < 0 ? std::strlen(text) : size_t(length);
    if (len > kAddressTextMax)
        return 0;
    char local[kAddressTextMax + 1];
    std::memcpy(local, text, len);
    local[len] = '\0';
    SockAddr a;
    a.clear(ipv6);
    void* dst = ipv6 ? static_cast<void*>(&a.in6.sin6_addr) : static_cast<void*>(&a.in4.sin_addr);
    if (inet_pton(ipv6 ? AF_INET6 : AF_INET, local, dst) != 1)
        return 0;
    return setAddress(a) ? 1 : 0;
}

int IpParam::assign(const char* text, int length)
{
    return assignFamily(text, length, false);
}

SockAddr IpParam::address() const
{
    Guard g(*this);
    return addr_;
}

bool IpParam::setAddress(const SockAddr& address)
{
    Guard g(*this);
    if (address.equals(addr_))
        return false;
    addr_ = address;
    markModified();
    return true;
}

int IpParam::toText(char* buffer, size_t size) const
{
    if (!buffer || size == 0)
        return 0;
    if (size < minTextSize()) {
        buffer[0] = '\0';
        return 0;
    }
    return address().toString(buffer, size);
}

int IpParam::print(FILE* out) const
{
    return address().print(out);
}

bool IpParam::getSnmp(std::string& out) const
{
    if (hasFlags(kParamHidden | kParamInternal))
        return false;
    uint8_t bytes[16];
    const size_t n = address().addressBytes(bytes, sizeof(bytes));
    if (n == 0)
        return false;
    out.assign(reinterpret_cast<const char*>(bytes), n);
    return true;
}

Ip6Address::Ip6Address(const char* name, const char* text, int kind, const void* table, uint32_t flags)
    : IpParam(name, SockAddr(), kind, table, flags)
{
    addr_.clear(true);
    if (text && inet_pton(AF_INET6, text, &addr_.in6.sin6_addr) != 1) {
        addr_.clear(true);
        std::fprintf(stderr, "ERROR: Ip6Address initialization faild with:[%s]!\n", text);
    }
}

bool Ip6Address::isValid(const char* text) const
{
    in6_addr scratch;
    return text && inet_pton(AF_INET6, text, &scratch) == 1;
}

int Ip6Address::assign(const char* text, int length)
{
    return assignFamily(text, length, true);
}

bool IpParam::equalsText(const char* text) const
{
    if (!text)
        return false;
    const SockAddr current = address();
    SockAddr a;
    a.clear(current.isIpv6());
    void* dst = current.isIpv6() ? static_cast<void*>(&a.in6.sin6_addr) : static_cast<void*>(&a.in4.sin_addr);
    return inet_pton(current.isIpv6() ? AF_INET6 : AF_INET, text, dst) == 1 && a.equals(current);
}
