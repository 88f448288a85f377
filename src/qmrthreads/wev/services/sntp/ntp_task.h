// The SNTP client ("NTP"): sets the process's time zone from `ntp_tzone` and
// the system clock from the server `ntp_server`, at start, after every
// network configuration change (MSG_NETWORK_CHANGED) and then every
// `ntp_update` seconds (15 s after a failed exchange).
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstdint>

#include "core/task/task.h"

class NetInterface;

// How the clock is set: settimeofday(2) semantics. The start-up code hands
// in the system clock; until then setting the clock fails.
using ClockSetter = int (*)(const timeval& time);
void setClockSetter(ClockSetter setter);

// Sets the clock; when the tick clock jumped across it, every task's start
// tick and the lease start move by the jump. 0, or -1 when it failed.
int setClockShiftingTicks(const timeval& time);

class NtpTask : public Task {
public:
    explicit NtpTask(NetInterface* iface);

    void run() override;
    uint32_t onMessage(TaskMessage* msg) override;

    // One exchange with the server; 1 when the clock was set.
    int syncTime();

private:
    void reconfigure();

    NetInterface* iface_;
    std::atomic<bool> reconfigure_{true};
    bool lastExchangeSet_ = false;
};
