#include "core/net/dhcp_lease.h"

#include <atomic>

namespace {

std::atomic<int> leaseTime{-1};
std::atomic<uint64_t> leaseStart{0};

} // namespace

int dhcpLeaseTime()
{
    return leaseTime.load();
}

uint64_t dhcpLeaseStartTick()
{
    return leaseStart.load();
}

void recordDhcpLeaseTime(int seconds)
{
    leaseTime.store(seconds);
}

void recordDhcpLeaseStart(uint64_t tick)
{
    leaseStart.store(tick);
}

void shiftDhcpLeaseStart(uint64_t delta)
{
    uint64_t start = leaseStart.load();
    while (start != 0 && !leaseStart.compare_exchange_weak(start, start + delta)) {
    }
}
