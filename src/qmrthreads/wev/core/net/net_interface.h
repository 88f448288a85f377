// NetInterface: one Linux network interface and everything the program does
// to it through ioctls: flags, IPv4 address and netmask, routes, hardware
// address, multicast link-layer groups, VLAN devices with their alias
// devices, and the PHY's link state. On top of these sit the IPv4 set-up of
// the box (link bounce, ZeroConf or default gateway) and the address slots
// that give the management VLAN and every port VLAN an address of its own.
//
// Two objects exist for the whole run, the wired "eth0" and "wlan0"; the
// current interface points at the one the box runs on.
//
// Locks: the interface lock serialises the ioctls of one interface and is
// taken before "TLOCK" (broadcasts) and before the board device's lock. The
// slot table has a lock of its own, taken before the interface lock. The PHY
// lock is process-wide and held only around PHY reads.
#pragma once

#include <vector>

#include <net/if.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "core/addr/sock_addr.h"

// One address slot: slot 0 the management address, 1 to 20 the port VLANs.
struct IfAddrSlot {
    uint32_t address = 0;  // network order; 0 = not in use
    uint32_t netmask = 0;
    uint32_t gateway = 0;  // 0 = none (on-link default route)
    int vlanId = 0;        // negative = untagged
    int alias = -1;        // -1: owns its VLAN device; 0, 1, ...: alias on the owner's device

    bool inUse() const { return address != 0; }
};

constexpr int kIfAddrSlots = 21;
// VLAN ids above this are refused before they reach the kernel.
constexpr int kMaxVlanId = 4096;

class NetInterface {
public:
    NetInterface();
    explicit NetInterface(const char* name);
    ~NetInterface();
    NetInterface(const NetInterface&) = delete;
    NetInterface& operator=(const NetInterface&) = delete;

    // The name is copied (at most 15 characters); set once by the start-up
    // code before any task uses the object.
    void setName(const char* name);
    const char* name() const { return name_; }

    // The datagram socket every ioctl goes through; 1 or 0.
    int openSocket();
    int controlSocket() const { return socket_.load(); }

    // The interface lock; 0 or the error number (reported with perror).
    int lock();
    int unlock();

    // In every operation a null device means the interface itself.
    int getFlags(short* flags, const char* device = nullptr);
    int setFlags(short flags, const char* device = nullptr);
    // IFF_UP, and with running also IFF_RUNNING; 0 when the flags cannot be read.
    int isUp(const char* device = nullptr, bool running = false);
    int isRunning();
    int down(const char* device = nullptr);
    // arp_ignore for "all" and "default", then IFF_UP|IFF_BROADCAST|
    // IFF_RUNNING|IFF_MULTICAST.
    int up(const char* device = nullptr);

    // The IPv4 address of the device, or with no device of "%s" (vlanId
    // negative) or "%s.%d". out is the empty IPv4 address when it cannot be
    // read. Returns whether out is set.
    int getAddress(SockAddr* out, const char* device, int vlanId);
    // Does nothing (1) when the device already has this address. Replacing a
    // set address broadcasts MSG_ADDRESS_REPLACED; every address set is
    // handed to the registered hook. 1, or 0 when the kernel refused the
    // address.
    int setAddress(const SockAddr& address, const char* device = nullptr);
    // A mask whose last octet is odd is refused (0) before the kernel sees it.
    int setNetmask(const SockAddr& mask, const char* device = nullptr);
    int readMac(uint8_t out[6]);
    // IPv4 words in network order. RTF_GATEWAY with a gateway; metric 5 on
    // a VLAN device (a name with '.'). A route that is already there counts
    // as added. 1 or 0.
    int addRoute(uint32_t destination, uint32_t gateway, uint32_t genmask, const char* device);
    // The default route through gateway on the interface; 0 matches any.
    int deleteRoute(uint32_t gateway);
    // Adds the group's link-layer address on "%s" or "%s.%d".
    int joinMulticastMac(const SockAddr& group, int vlanId);
    // One ARP reply announcing address from this interface; 1 sent, 0 failed.
    int sendGratuitousArp(const SockAddr& address);

    // VLAN devices. This kernel may lack 802.1Q: a device of the same name
    // made beforehand stands in for the one addVlan would create.
    int addVlan(int vlanId);
    int removeVlan(const char* device);
    // name, ".%d" for a VLAN id 0..4096, ":%d" for an alias 0..99; cut to 15
    // characters. Returns the length.
    int deviceName(char* buffer, size_t size, int vlanId, int alias) const;

    // Address slots (0 .. usb_ports_phy). configureSlot: 1 when the slot was
    // set up anew, 0 when it already held these values, -1 when a step failed
    // (the slot is then left unused, so the next apply tries again).
    int configureSlot(int n, const SockAddr& address, const SockAddr& netmask, const SockAddr& gateway,
                      int vlanId);
    // 1 when the slot was in use. Removing the slot that owns a VLAN device
    // also drops the alias slots on it (they are rebuilt by the next apply).
    int removeSlot(int n);
    void removeAllSlots();
    // Brings the slots in line with the VLAN parameters; broadcasts
    // MSG_NETWORK_CHANGED when anything changed. 0 without the VLAN feature.
    int applyVlanParams();
    IfAddrSlot slot(int n) const;
    // Slots in use on this model: usb_ports_phy + 1, at most kIfAddrSlots.
    static int slotCount();

    // With a link-local own address: an on-link default route and `ip_gate`
    // 0.0.0.0; else 0.
    int routeLinkLocal();
    // The routes that go with `ip_addr` (taken already): for a link-local
    // address the on-link route, else the default gateway `ip_gate` and the
    // IPv6 set-up, each with its line on standard error. true for a
    // link-local address.
    bool routeIpv4Address();
    // Link bounce, then ZeroConf routing or the default gateway (and IPv6),
    // then the VLANs.
    int setupIpv4();

    // IPv6 on this interface: autoconfiguration by `ipv6_auto`, then the
    // static address and route of `ipv6_addr`, `ipv6_plen` and `ipv6_gate`.
    void applyIpv6Config();
    // Adds `ipv6_addr`/`ipv6_plen`, or removes the address applied last; 0
    // when there is none.
    int applyIpv6Address(bool add);
    // Adds the on-link route to `ipv6_gate`/`ipv6_plen` (the "gateway" names
    // a destination prefix reached directly on the interface), or removes
    // the one applied last; 0 when there is none.
    int applyIpv6Route(bool add);

    // PHY registers at `phy0_addr`; 1 or 0.
    int miiRegister(bool write, int reg, uint16_t* value);
    // Whether a PHY answers (the loopback bit can be toggled).
    int probePhy();
    // Mask of the PHYs with link (bit 1 << PHY address); 1 when not 0. A PHY
    // that cannot be read is judged by the interface's carrier flag.
    int linkStatus(int* mask);

private:
    int ioctlLocked(unsigned long request, void* arg);
    const char* deviceOrName(const char* device) const { return device ? device : name_; }
    int phyRegister(bool write, int phy, int reg, uint16_t* value);
    // 1 with *link from the PHY's status register or, when the PHY cannot
    // be read, from the carrier flag; 0 when neither can be read.
    int phyLink(uint32_t phy, bool* link);
    int carrier(bool* on);
    bool setAddressLocked(const SockAddr& address, const char* device);
    int clearAddress(const char* device);

    int configureSlotLocked(int n, const IfAddrSlot& wanted);
    int removeSlotLocked(int n);
    void releaseSlotDevice(const IfAddrSlot& s);
    int chooseAlias(int n, int vlanId) const;
    bool deviceExists(const char* device);

    std::atomic<int> socket_{-1};
    char name_[IFNAMSIZ] = {};
    pthread_mutex_t mutex_;
    mutable std::mutex slotsMutex_;
    IfAddrSlot slots_[kIfAddrSlots];
    bool droppedDependents_ = false;
};

// "1" into "/proc/sys/net/ipv4/conf/<name>/arp_ignore"; 1 when written.
int setArpIgnore(const char* name);

// The two interface objects of the box and the one in use.
NetInterface& wiredInterface();
NetInterface& wlanInterface();
NetInterface* currentInterface();
void setCurrentInterface(NetInterface* iface);

// IPv6 in the kernel on or off ("/proc/sys/net/ipv6/conf/all/disable_ipv6");
// 0 when the file cannot be written (the path is reported).
int setIpv6Enabled(bool enable);

// One IPv6 route of "/proc/net/ipv6_route" that is up on a device.
struct Ipv6Route {
    char destination[48];  // canonical text
    int prefixLength;
    char nextHop[48];
};
// The up routes of the device, in the file's order. false when the file
// cannot be read; a malformed destination ends the list there and gives
// false too (the caller publishes nothing then).
bool readIpv6Routes(const char* device, std::vector<Ipv6Route>& routes);

// Called after every address an interface took, with the interface lock
// held: the board shows on its LEDs whether the box has a routable address.
using AddressSetHook = void (*)(const SockAddr& address);
void setAddressSetHook(AddressSetHook hook);

// The PHY lock, shared by every interface.
bool tryLockPhy();
void unlockPhy();

// Tests: PHY register access through a fake instead of SIOCGMIIREG /
// SIOCSMIIREG; nullptr restores the ioctls.
using MiiAccess = int (*)(NetInterface& iface, bool write, int phy, int reg, uint16_t* value);
void setMiiAccessForTest(MiiAccess access);
