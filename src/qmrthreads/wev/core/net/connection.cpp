#include "core/net/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/net/net_interface.h"
#include "core/net/vlan_plan.h"

namespace {

// The kernel takes at most 15 characters of a device name; the option is
// handed over in a zeroed 32-byte buffer as the box always did.
constexpr size_t kDeviceOptionSize = 32;

socklen_t addressLength(int family)
{
    return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

int setIntOption(int fd, int level, int option, int value)
{
    if (fd < 0)
        return 0;
    return setsockopt(fd, level, option, &value, sizeof value) == 0 ? 1 : 0;
}

int setByteOption(int fd, int level, int option, unsigned char value)
{
    if (fd < 0)
        return 0;
    return setsockopt(fd, level, option, &value, sizeof value) == 0 ? 1 : 0;
}

int setBlockingMode(int fd, bool nonBlocking)
{
    if (fd < 0)
        return 0;
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0)
        return 0;
    fl = nonBlocking ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, fl) == 0 ? 1 : 0;
}

// A device name cut to what the kernel takes.
void copyDeviceName(char* out, size_t size, const char* name)
{
    if (size == 0)
        return;
    size_t n = strnlen(name, std::min(size, static_cast<size_t>(IFNAMSIZ)) - 1);
    memcpy(out, name, n);
    out[n] = '\0';
}

int bindDeviceOption(int fd, const char* device)
{
    char option[kDeviceOptionSize] = {};
    copyDeviceName(option, sizeof option, device);
    return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, option, sizeof option);
}

// Descriptors on the box stay low; a high one hints at a leak.
void reportHighDescriptor(const char* operation, int line, int fd)
{
    if (static_cast<unsigned>(fd) > 256)
        fprintf(stderr, "%s %s %d fd:%d!!\n", "connection", operation, line, fd);
}

} // namespace

Connection::Connection(Task* owner_, NetInterface* iface_, int vlanId_)
    : vlanId(vlanId_), iface(iface_), owner(owner_)
{
    local.clear(false);
    peer.clear(false);
}

Connection::~Connection()
{
    close();
    state = kConnClosed;
    fd = -1;
}

int Connection::open(int family_, int type_, int protocol)
{
    if (fd >= 0)
        close();
    int s = socket(family_, type_ | SOCK_CLOEXEC, protocol);
    if (s < 0 && family_ == AF_INET6) {
        family_ = AF_INET;
        s = socket(family_, type_ | SOCK_CLOEXEC, protocol);
    }
    flags = 0;
    if (s < 0)
        return 0;
    fd = s;
    family = family_;
    type = type_ & ~(SOCK_NONBLOCK | SOCK_CLOEXEC);
    return 1;
}

int Connection::close()
{
    if (!unixName_.empty()) {
        unlink(unixName_.c_str());
        unixName_.clear();
    }
    if (fd < 0) {
        state = kConnClosed;
        return 0;
    }
    int rc = ::close(fd);
    fd = -1;
    state = kConnClosed;
    return rc == 0 ? 1 : 0;
}

int Connection::setReuseAddr()
{
    return setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
}

int Connection::setNonBlocking()
{
    return setBlockingMode(fd, true);
}

int Connection::setBlocking()
{
    return setBlockingMode(fd, false);
}

void Connection::deviceName(char* buffer, size_t size) const
{
    char name[48];
    if (!iface)
        snprintf(name, sizeof name, "%s", "NoIFace");
    else if (vlanId < 0)
        snprintf(name, sizeof name, "%s", iface->name());
    else
        snprintf(name, sizeof name, "%s.%d", iface->name(), vlanId);
    copyDeviceName(buffer, size, name);
}

int Connection::bindToDevice()
{
    if (fd <= 0)
        return 0;
    char device[IFNAMSIZ];
    deviceName(device, sizeof device);
    return bindDeviceOption(fd, device) == 0 ? 1 : 0;
}

int Connection::bind(int port_, bool any, int vlanSlot)
{
    port = port_;
    local.clear(false);
    if (family == AF_INET6) {
        local.clear(true);
        // One listener serves both families whatever the system default.
        setIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0);
    } else if (vlanSlot >= 1) {
        // The management slot (above the port count) has no address of its
        // own, whatever parameters lie beyond the ports.
        local = currentVlanPlan().slotAddress(vlanSlot);
    } else if (!any && iface) {
        SockAddr address;
        iface->getAddress(&address, nullptr, vlanId);
        if (address.isIpv4())
            local = address;
    }
    local.in4.sin_port = htons(static_cast<uint16_t>(port_));
    setReuseAddr();
    if (fd < 0 || ::bind(fd, &local.sa, addressLength(local.family())) != 0)
        return 0;
    socklen_t length = sizeof local;
    getsockname(fd, &local.sa, &length);
    return 1;
}

int Connection::listen(int backlog)
{
    if ((family != AF_INET && family != AF_INET6) || type != SOCK_STREAM || fd < 0)
        return 0;
    if (::listen(fd, backlog) != 0)
        return 0;
    state = kConnListening;
    return 1;
}

int Connection::localAddress(SockAddr* out)
{
    if (local.isSet()) {
        *out = local;
        return 1;
    }
    if (!iface) {
        out->clear(false);
        return 0;
    }
    return iface->getAddress(out, nullptr, vlanId);
}

int Connection::setMulticastTtl(int ttl)
{
    return setByteOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, static_cast<unsigned char>(ttl));
}

int Connection::disableMulticastLoop()
{
    return setByteOption(fd, IPPROTO_IP, IP_MULTICAST_LOOP, 0);
}

int Connection::disableMulticastAll()
{
    return setIntOption(fd, IPPROTO_IP, IP_MULTICAST_ALL, 0);
}

int Connection::setDontRoute()
{
    return setIntOption(fd, SOL_SOCKET, SO_DONTROUTE, 1);
}

void Connection::closeSession()
{
    if (hasSession())
        endSession();
    delete this;
}

int Connection::sessionRead(void*, int)
{
    errorState = kConnErrorBroken;
    return kConnBroken;
}

int Connection::sessionWrite(const void*, int)
{
    return -1;
}

int force2face(int fd)
{
    if (fd < 1)
        return 0;
    NetInterface* current = currentInterface();
    const char* name = current ? current->name() : "";
    char device[48];
    const VlanPlan plan = currentVlanPlan();
    if (plan.mgmtOn)
        snprintf(device, sizeof device, "%s.%d", name, plan.mgmtId);
    else
        snprintf(device, sizeof device, "%s", name);
    return bindDeviceOption(fd, device) == 0 ? 0 : -1;
}

int get_maxseg(int fd)
{
    reportHighDescriptor("get_maxseg", 242, fd);
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &value, &length) != 0)
        return -1;
    return value;
}

int set_maxseg(int fd, int value)
{
    reportHighDescriptor("set_maxseg", 264, fd);
    return setIntOption(fd, IPPROTO_TCP, TCP_MAXSEG, value);
}

int set_nagleon(int fd)
{
    reportHighDescriptor("set_nagleon", 292, fd);
    return setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
}
