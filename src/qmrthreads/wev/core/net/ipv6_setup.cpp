#include "core/net/net_interface.h"

#include "core/params/param_handles.h"
#include "platform/files/root_path.h"

#include <netinet/in.h>
#include <linux/ipv6.h>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <net/if.h>
#include <net/route.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// What was applied last, for the removal at the end: the parameters may
// have changed meanwhile.
struct AppliedIpv6 {
    std::mutex mutex;
    SockAddr address;
    int addressPrefix = 0;
    SockAddr route;
    int routePrefix = 0;
};
AppliedIpv6 applied;

// Writes one character to a kernel setting; false when it cannot be opened.
bool writeSetting(const std::string& path, char value, bool reportFailure)
{
    FILE* f = fopen(path.c_str(), "we");
    if (!f) {
        if (reportFailure)
            perror(path.c_str());
        return false;
    }
    bool ok = fputc(value, f) != EOF;
    ok = fclose(f) == 0 && ok;
    if (!ok && reportFailure)
        perror(path.c_str());
    return true;
}

// One IPv6 ioctl about the interface: issue(socket, index) fills the record
// with the interface's index and makes the request. 1 when it succeeded, 0
// when it failed or the interface has no index, the socket's error when no
// socket could be opened.
template <typename Issue>
int ipv6InterfaceRequest(const char* name, Issue issue)
{
    int s = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return s;
    int index = static_cast<int>(if_nametoindex(name));
    int result = index != 0 && issue(s, index) == 0 ? 1 : 0;
    close(s);
    return result;
}

// "%32s" hex digits to canonical text; false when they are not 32 hex digits.
bool hexToIpv6Text(const char* hex, char* out, size_t size)
{
    if (strlen(hex) != 32 || strspn(hex, "0123456789abcdefABCDEF") != 32)
        return false;
    char grouped[40];
    for (int i = 0; i < 8; ++i)
        snprintf(grouped + i * 5, 6, "%.4s%s", hex + i * 4, i < 7 ? ":" : "");
    in6_addr bytes;
    return inet_pton(AF_INET6, grouped, &bytes) == 1 && inet_ntop(AF_INET6, &bytes, out, static_cast<socklen_t>(size));
}

} // namespace

int setIpv6Enabled(bool enable)
{
    std::string path = boxPath("/proc/sys/net/ipv6/conf/all/disable_ipv6");
    return writeSetting(path, enable ? '0' : '1', true) ? 1 : 0;
}

void NetInterface::applyIpv6Config()
{
    char autoconf = params::ipv6_auto()->isOn() ? '1' : '0';
    std::string conf = boxPath("/proc/sys/net/ipv6/conf/") + name_;
    if (writeSetting(conf + "/autoconf", autoconf, false))
        writeSetting(conf + "/accept_ra", autoconf, false);
    applyIpv6Address(true);
    applyIpv6Route(true);
}

int NetInterface::applyIpv6Address(bool add)
{
    std::lock_guard<std::mutex> lock(applied.mutex);
    if (add) {
        applied.address = params::ipv6_addr()->address();
        applied.addressPrefix = params::ipv6_plen()->value();
    }
    if (!applied.address.isSet() || !applied.address.isIpv6())
        return 0;
    int result = ipv6InterfaceRequest(name_, [&](int s, int index) {
        in6_ifreq request{};
        request.ifr6_addr = applied.address.in6.sin6_addr;
        request.ifr6_prefixlen = static_cast<uint32_t>(applied.addressPrefix);
        request.ifr6_ifindex = index;
        return ioctl(s, add ? SIOCSIFADDR : SIOCDIFADDR, &request);
    });
    if (!add)
        applied.address = SockAddr();
    return result;
}

int NetInterface::applyIpv6Route(bool add)
{
    std::lock_guard<std::mutex> lock(applied.mutex);
    if (add) {
        applied.route = params::ipv6_gate()->address();
        applied.routePrefix = params::ipv6_plen()->value();
    }
    if (!applied.route.isSet() || !applied.route.isIpv6())
        return 0;
    int result = ipv6InterfaceRequest(name_, [&](int s, int index) {
        in6_rtmsg route{};
        route.rtmsg_dst = applied.route.in6.sin6_addr;
        route.rtmsg_dst_len = static_cast<uint16_t>(applied.routePrefix);
        route.rtmsg_metric = 1;
        route.rtmsg_flags = applied.routePrefix == 128 ? RTF_UP | RTF_HOST : RTF_UP;
        route.rtmsg_ifindex = index;
        return ioctl(s, add ? SIOCADDRT : SIOCDELRT, &route);
    });
    if (!add)
        applied.route = SockAddr();
    return result;
}

bool readIpv6Routes(const char* device, std::vector<Ipv6Route>& routes)
{
    routes.clear();
    FILE* f = fopen(boxPath("/proc/net/ipv6_route").c_str(), "re");
    if (!f)
        return false;
    char destination[33], nextHop[33], dev[33];
    unsigned prefix, sourcePrefix, metric, refs, use, flags;
    bool whole = true;
    while (fscanf(f, "%32s%x%*s%x%32s%x%x%x%x%32s\n", destination, &prefix, &sourcePrefix, nextHop, &metric, &refs,
                  &use, &flags, dev) == 9) {
        Ipv6Route route{};
        if (!hexToIpv6Text(destination, route.destination, sizeof route.destination)) {
            whole = false;
            break;
        }
        if (!(flags & RTF_UP) || strcmp(dev, device) != 0)
            continue;
        if (!hexToIpv6Text(nextHop, route.nextHop, sizeof route.nextHop))
            continue;
        route.prefixLength = static_cast<int>(prefix);
        routes.push_back(route);
    }
    fclose(f);
    return whole;
}
