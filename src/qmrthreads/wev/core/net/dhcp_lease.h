// The DHCP lease the box holds, for whoever shows or adjusts it: the DHCP
// client records it, the IPv4 page shows its age, and a clock set moves its
// start by the jump of the tick clock.
#pragma once

#include <cstdint>

// Seconds of the last lease a server gave (0 = infinite); -1 before any.
int dhcpLeaseTime();
// The boardTicks value when the lease was last taken; 0 = no lease.
uint64_t dhcpLeaseStartTick();

void recordDhcpLeaseTime(int seconds);
void recordDhcpLeaseStart(uint64_t tick);
// Adds delta to the start of a lease that is held; without one nothing changes.
void shiftDhcpLeaseStart(uint64_t delta);
