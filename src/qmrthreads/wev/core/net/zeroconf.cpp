#include <mutex>

#include "core/addr/mac_address.h"
#include "core/net/net_interface.h"
#include "core/addr/sock_addr.h"

namespace {

// The previous candidate's third and fourth octet: each new candidate
// depends on the last one, so a conflict leads to a different address.
std::mutex zeroconfMutex;
uint8_t prevX = 0;
uint8_t prevY = 0;

// One step of the candidate hash: the byte taken as signed, all arithmetic
// in 32 bits that wrap.
uint32_t mix(uint32_t h, uint8_t byte)
{
    const uint32_t b = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(byte)));
    return b ^ ((h + b) << 1);
}

}  // namespace

void SockAddr::makeZeroconf(NetInterface& iface)
{
    uint8_t mac[kMacBytes];
    if (!iface.readMac(mac))
        readInterfaceMac(mac, "eth0");

    std::lock_guard<std::mutex> guard(zeroconfMutex);
    uint32_t h1 = ~static_cast<uint32_t>(prevX) ^ prevY;
    uint32_t h2 = prevX;
    for (int i = 1; i <= 5; ++i) {
        h1 = mix(h1, mac[i]);
        h2 = mix(h2, mac[6 - i]);
    }
    const uint8_t x = static_cast<uint8_t>(h1 % 253 + 1);
    const uint8_t y = static_cast<uint8_t>(h2 % 253 + 1);
    setIpv4Bytes(169, 254, x, y);
    prevX = x;
    prevY = y;
}

void resetZeroconfForTest()
{
    std::lock_guard<std::mutex> guard(zeroconfMutex);
    prevX = 0;
    prevY = 0;
}
