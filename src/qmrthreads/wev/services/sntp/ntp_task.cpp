#include "services/sntp/ntp_task.h"

#include <sys/socket.h>

#include <atomic>
#include <cstdio>

#include "core/addr/sock_addr.h"
#include "core/net/connection.h"
#include "core/net/dhcp_lease.h"
#include "core/params/param_handles.h"
#include "core/task/tick_clock.h"
#include "services/sntp/sntp_packet.h"
#include "services/sntp/time_zone.h"

namespace {

constexpr int64_t kReplyWaitTicks = 1000;
constexpr int kRetryMs = 15000;

std::atomic<ClockSetter> clockSetter{nullptr};

// The server's address with the SNTP port, in the family the name gave.
bool serverAddress(SockAddr* out)
{
    const std::string name = paramText(params::ntp_server());
    if (!params::ntp()->isOn() || name.empty())
        return false;
    if (!out->resolve(name.c_str()))
        return false;
    if (out->isIpv6())
        out->in6.sin6_port = htons(kSntpPort);
    else
        out->in4.sin_port = htons(kSntpPort);
    return true;
}

NtpTimestamp now()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return unixToNtp(tv.tv_sec, tv.tv_usec);
}

} // namespace

void setClockSetter(ClockSetter setter)
{
    clockSetter.store(setter);
}

int setClockShiftingTicks(const timeval& time)
{
    ClockSetter setter = clockSetter.load();
    if (!setter)
        return -1;
    const uint64_t before = boardTicks();
    if (setter(time) != 0)
        return -1;
    const uint64_t after = boardTicks();
    if (after != before) {
        shiftTaskStartTimes(after - before);
        shiftDhcpLeaseStart(after - before);
    }
    return 0;
}

NtpTask::NtpTask(NetInterface* iface) : Task("NTP"), iface_(iface) {}

uint32_t NtpTask::onMessage(TaskMessage* msg)
{
    if (msg->code & MSG_NETWORK_CHANGED)
        reconfigure_.store(true);
    return msg->code;
}

int NtpTask::syncTime()
{
    SockAddr server;
    if (!serverAddress(&server))
        return 0;
    // The socket takes the family of the address the name gave.
    Connection conn(this, iface_, -1);
    if (!conn.open(server.family(), SOCK_DGRAM, 0) || !conn.bind(0, true, 0) || force2face(conn.fd) != 0)
        return 0;
    if (conn.family != server.family())
        return 0;
    conn.peer = server;
    const NtpTimestamp sent = now();
    uint8_t packet[kSntpPacketSize];
    buildSntpRequest(packet, sent);
    if (conn.sendAll(packet, sizeof packet, true) != static_cast<int>(sizeof packet))
        return 0;

    const uint64_t deadline = boardTicks() + kReplyWaitTicks;
    uint8_t reply[kSntpPacketSize + 1];
    for (uint64_t t = boardTicks(); t < deadline; t = boardTicks()) {
        const int rc = waitFor(static_cast<int64_t>(deadline - t), conn.fd);
        if (rc == 0 || rc == 1)
            return 0;
        if (rc != 3)
            continue;
        sockaddr_in6 from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(conn.fd, reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                   &fromLength);
        int64_t seconds = 0;
        long microseconds = 0;
        if (n <= 0 || !readSntpReply(reply, static_cast<size_t>(n), sent, &seconds, &microseconds))
            continue;
        const timeval tv{static_cast<time_t>(seconds), static_cast<suseconds_t>(microseconds)};
        return setClockShiftingTicks(tv) == 0 ? 1 : 0;
    }
    return 0;
}

void NtpTask::reconfigure()
{
    while (reconfigure_.exchange(false)) {
        if (params::ntp()->isOn() && !paramText(params::ntp_server()).empty()) {
            const std::string tz = configuredTimeZone();
            if (!tz.empty())
                applyTimeZone(tz);
        }
        lastExchangeSet_ = syncTime() == 1;
    }
}

void NtpTask::run()
{
    for (;;) {
        reconfigure();
        const int ms = lastExchangeSet_ ? params::ntp_update()->value() * 1000 : kRetryMs;
        if (pollEvents(ms) == 0)
            lastExchangeSet_ = syncTime() == 1;
    }
}
