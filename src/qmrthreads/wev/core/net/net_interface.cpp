#include "core/net/net_interface.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/route.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/addr/mac_address.h"
#include "platform/files/root_path.h"
#include "core/task/task.h"

namespace {

// Copies a device name into an interface request; false when it does not fit.
bool putName(char (&field)[IFNAMSIZ], const char* name)
{
    const size_t n = std::strlen(name);
    if (n >= IFNAMSIZ)
        return false;
    std::memset(field, 0, IFNAMSIZ);
    std::memcpy(field, name, n);
    return true;
}

void putIpv4(sockaddr* target, uint32_t word)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = word;
    std::memcpy(target, &in, sizeof(in));
}

std::atomic<NetInterface*> current{nullptr};
std::atomic<AddressSetHook> addressSetHook{nullptr};

}  // namespace

NetInterface::NetInterface()
{
    pthread_mutex_init(&mutex_, nullptr);
}

NetInterface::NetInterface(const char* name) : NetInterface()
{
    setName(name);
}

NetInterface::~NetInterface()
{
    const int fd = socket_.exchange(-1);
    if (fd >= 0)
        close(fd);
    pthread_mutex_destroy(&mutex_);
}

void NetInterface::setName(const char* name)
{
    std::memset(name_, 0, sizeof(name_));
    if (name)
        std::snprintf(name_, sizeof(name_), "%s", name);
}

int NetInterface::openSocket()
{
    if (socket_.load() >= 0)
        return 1;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("NetInterface::openSocket");
        return 0;
    }
    int expected = -1;
    if (!socket_.compare_exchange_strong(expected, fd))
        close(fd);
    return 1;
}

int NetInterface::lock()
{
    const int rc = pthread_mutex_lock(&mutex_);
    if (rc != 0) {
        errno = rc;
        perror("NetInterface lock");
    }
    return rc;
}

int NetInterface::unlock()
{
    const int rc = pthread_mutex_unlock(&mutex_);
    if (rc != 0) {
        errno = rc;
        perror("NetInterface unlock");
    }
    return rc;
}

int NetInterface::ioctlLocked(unsigned long request, void* arg)
{
    lock();
    const int rc = ioctl(socket_.load(), request, arg);
    const int saved = errno;
    unlock();
    errno = saved;
    return rc;
}

int NetInterface::getFlags(short* flags, const char* device)
{
    ifreq req{};
    if (!putName(req.ifr_name, deviceOrName(device)))
        return 0;
    if (ioctlLocked(SIOCGIFFLAGS, &req) != 0)
        return 0;
    if (flags)
        *flags = req.ifr_flags;
    return 1;
}

int NetInterface::setFlags(short flags, const char* device)
{
    ifreq req{};
    if (!putName(req.ifr_name, deviceOrName(device)))
        return 0;
    req.ifr_flags = flags;
    return ioctlLocked(SIOCSIFFLAGS, &req) == 0 ? 1 : 0;
}

int NetInterface::isUp(const char* device, bool running)
{
    short flags = 0;
    if (!getFlags(&flags, device))
        return 0;
    const short mask = running ? (IFF_UP | IFF_RUNNING) : IFF_UP;
    return (flags & mask) == mask ? 1 : 0;
}

int NetInterface::isRunning()
{
    short flags = 0;
    if (!getFlags(&flags, nullptr))
        return 0;
    return (flags & IFF_RUNNING) ? 1 : 0;
}

int NetInterface::down(const char* device)
{
    short flags = 0;
    if (!getFlags(&flags, device))
        return 0;
    return setFlags(static_cast<short>(flags & ~IFF_UP), device);
}

int NetInterface::up(const char* device)
{
    setArpIgnore("all");
    setArpIgnore("default");
    return setFlags(IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST, device);
}

int NetInterface::getAddress(SockAddr* out, const char* device, int vlanId)
{
    out->clear(false);
    char vlanDevice[IFNAMSIZ];
    if (!device) {
        deviceName(vlanDevice, sizeof(vlanDevice), vlanId, -1);
        device = vlanDevice;
    }
    ifreq req{};
    if (!putName(req.ifr_name, device))
        return 0;
    if (ioctlLocked(SIOCGIFADDR, &req) != 0 || req.ifr_addr.sa_family != AF_INET)
        return 0;
    std::memcpy(static_cast<void*>(out), &req.ifr_addr, sizeof(sockaddr_in));
    return out->isSet() ? 1 : 0;
}

// With the interface lock held.
bool NetInterface::setAddressLocked(const SockAddr& address, const char* device)
{
    ifreq req{};
    if (!putName(req.ifr_name, device))
        return false;
    putIpv4(&req.ifr_addr, address.ipv4Value());
    if (ioctl(socket_.load(), SIOCSIFADDR, &req) != 0) {
        perror("ioctl(SIOCSIFADDR)");
        return false;
    }
    // An address of 0.0.0.0 removes the address, so there is nothing to read back.
    if (ioctl(socket_.load(), SIOCGIFADDR, &req) != 0 && address.isSet())
        perror("ioctl(SIOCGIFADDR)");
    return true;
}

void setAddressSetHook(AddressSetHook hook)
{
    addressSetHook.store(hook);
}

int NetInterface::setAddress(const SockAddr& address, const char* device)
{
    if (address.isIpv6())
        return 0;
    device = deviceOrName(device);
    SockAddr before;
    getAddress(&before, device, -1);
    if (before.isSet() && before.equals(address))
        return 1;

    lock();
    const bool done = setAddressLocked(address, device);
    if (done && before.isSet()) {
        // Sockets bound to the old address are dead: their tasks rebuild them.
        TaskMessage replaced{0, MSG_ADDRESS_REPLACED, 0, 0};
        broadcastMessage(&replaced);
    }
    if (AddressSetHook hook = addressSetHook.load(); done && hook)
        hook(address);
    unlock();
    return done ? 1 : 0;
}

// Removes the IPv4 address of a device without announcing it: the callers
// take a whole VLAN slot away and announce the network change themselves.
int NetInterface::clearAddress(const char* device)
{
    ifreq req{};
    if (!putName(req.ifr_name, device))
        return 0;
    putIpv4(&req.ifr_addr, 0);
    return ioctlLocked(SIOCSIFADDR, &req) == 0 ? 1 : 0;
}

int NetInterface::setNetmask(const SockAddr& mask, const char* device)
{
    if (!mask.isLastByteEven())
        return 0;
    ifreq req{};
    if (!putName(req.ifr_name, deviceOrName(device)))
        return 0;
    putIpv4(&req.ifr_netmask, mask.ipv4Value());
    if (ioctlLocked(SIOCSIFNETMASK, &req) != 0) {
        perror("ioctl(SIOCSIFNETMASK)");
        return 0;
    }
    return 1;
}

int NetInterface::readMac(uint8_t out[6])
{
    ifreq req{};
    if (!putName(req.ifr_name, name_))
        return 0;
    if (ioctlLocked(SIOCGIFHWADDR, &req) != 0)
        return 0;
    macAssign(out, req.ifr_hwaddr);
    return 1;
}

int NetInterface::addRoute(uint32_t destination, uint32_t gateway, uint32_t genmask, const char* device)
{
    char dev[IFNAMSIZ];
    if (!putName(dev, deviceOrName(device)))
        return 0;
    rtentry route{};
    putIpv4(&route.rt_dst, destination);
    putIpv4(&route.rt_gateway, gateway);
    putIpv4(&route.rt_genmask, genmask);
    route.rt_flags = gateway ? (RTF_UP | RTF_GATEWAY) : RTF_UP;
    route.rt_dev = dev;
    // The kernel stores rt_metric - 1 (0 means "no metric given").
    if (std::strchr(dev, '.'))
        route.rt_metric = 5 + 1;
    if (ioctlLocked(SIOCADDRT, &route) == 0 || errno == EEXIST)
        return 1;
    const int err = errno;
    SockAddr to;
    to.setIpv4(destination);
    SockAddr via;
    via.setIpv4(gateway);
    fprintf(stderr, "addRoute: %s via %s on %s: %s\n", to.text(), via.text(), dev, strerror(err));
    return 0;
}

int NetInterface::deleteRoute(uint32_t gateway)
{
    char dev[IFNAMSIZ];
    if (!putName(dev, name_))
        return 0;
    rtentry route{};
    putIpv4(&route.rt_dst, 0);
    putIpv4(&route.rt_gateway, gateway);
    putIpv4(&route.rt_genmask, 0);
    route.rt_flags = gateway ? (RTF_UP | RTF_GATEWAY) : RTF_UP;
    route.rt_dev = dev;
    return ioctlLocked(SIOCDELRT, &route) == 0 ? 1 : 0;
}

int NetInterface::joinMulticastMac(const SockAddr& group, int vlanId)
{
    ifreq req{};
    deviceName(req.ifr_name, sizeof(req.ifr_name), vlanId, -1);
    req.ifr_hwaddr.sa_family = AF_UNSPEC;
    uint8_t mac[kMacBytes];
    macForIpv4Multicast(mac, group);
    std::memcpy(req.ifr_hwaddr.sa_data, mac, kMacBytes);
    // The kernel serialises this itself; it does not touch what the
    // interface lock guards.
    if (ioctl(socket_.load(), SIOCADDMULTI, &req) != 0) {
        perror("ioctl(SIOCADDMULTI)");
        return 0;
    }
    return 1;
}

int setArpIgnore(const char* name)
{
    char path[64];
    const int n = std::snprintf(path, sizeof(path), "/proc/sys/net/ipv4/conf/%s/arp_ignore", name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path))
        return 0;
    const int fd = open(boxPath(path).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const bool written = write(fd, "1", 1) == 1;
    close(fd);
    return written ? 1 : 0;
}

NetInterface& wiredInterface()
{
    static NetInterface* iface = new NetInterface();
    return *iface;
}

NetInterface& wlanInterface()
{
    static NetInterface* iface = new NetInterface();
    return *iface;
}

NetInterface* currentInterface()
{
    return current.load(std::memory_order_acquire);
}

void setCurrentInterface(NetInterface* iface)
{
    current.store(iface, std::memory_order_release);
}
