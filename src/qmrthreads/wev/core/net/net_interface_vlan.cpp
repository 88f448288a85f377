#include <net/if.h>
#include <linux/if_vlan.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/product/model_features.h"
#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "core/task/task.h"

namespace {

constexpr int kMaxAlias = 99;

// Untagged slots share one group, whatever negative id they carry.
int vlanGroup(int vlanId)
{
    return vlanId < 0 ? -1 : vlanId;
}

bool ownsVlanDevice(const IfAddrSlot& s)
{
    return s.vlanId >= 0 && s.alias == -1;
}

SockAddr ipv4(uint32_t word)
{
    SockAddr a;
    a.setIpv4(word);
    return a;
}


}  // namespace

int NetInterface::deviceName(char* buffer, size_t size, int vlanId, int alias) const
{
    if (!buffer || size == 0)
        return 0;
    char text[IFNAMSIZ * 2];
    int n = std::snprintf(text, sizeof(text), "%s", name_);
    if (static_cast<unsigned>(vlanId) <= static_cast<unsigned>(kMaxVlanId))
        n += std::snprintf(text + n, sizeof(text) - n, ".%d", vlanId);
    if (static_cast<unsigned>(alias) <= static_cast<unsigned>(kMaxAlias))
        n += std::snprintf(text + n, sizeof(text) - n, ":%d", alias);
    text[IFNAMSIZ - 1] = '\0';
    // Cut to the caller's buffer on purpose: a copy, not a format, so that
    // optimising builds do not warn about the truncation.
    const size_t length = std::min(std::strlen(text), size - 1);
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return static_cast<int>(length);
}

bool NetInterface::deviceExists(const char* device)
{
    return if_nametoindex(device) != 0;
}

int NetInterface::addVlan(int vlanId)
{
    if (vlanId < 0 || vlanId > kMaxVlanId)
        return 0;
    vlan_ioctl_args args{};
    args.cmd = ADD_VLAN_CMD;
    std::snprintf(args.device1, sizeof(args.device1), "%s", name_);
    args.u.VID = vlanId;
    if (ioctlLocked(SIOCSIFVLAN, &args) == 0)
        return 1;
    const int err = errno;
    char device[IFNAMSIZ];
    deviceName(device, sizeof(device), vlanId, -1);
    // Without 802.1Q in the kernel a device of the same name, made
    // beforehand, carries the VLAN's traffic instead.
    if (deviceExists(device)) {
        fprintf(stderr, "addVlan: VLAN %d on %s not created (%s); using the existing device %s\n", vlanId, name_,
                strerror(err), device);
        return 1;
    }
    fprintf(stderr, "addVlan: VLAN %d on %s not created: %s\n", vlanId, name_, strerror(err));
    return 0;
}

int NetInterface::removeVlan(const char* device)
{
    vlan_ioctl_args args{};
    args.cmd = DEL_VLAN_CMD;
    if (std::snprintf(args.device1, sizeof(args.device1), "%s", device) >= static_cast<int>(sizeof(args.device1)))
        return 0;
    if (ioctlLocked(SIOCSIFVLAN, &args) == 0)
        return 1;
    fprintf(stderr, "removeVlan: %s not removed: %s\n", device, strerror(errno));
    return 0;
}

int NetInterface::slotCount()
{
    const uint32_t ports = productInfo().usb_ports_phy;
    return ports + 1 < static_cast<uint32_t>(kIfAddrSlots) ? static_cast<int>(ports) + 1 : kIfAddrSlots;
}

IfAddrSlot NetInterface::slot(int n) const
{
    std::lock_guard<std::mutex> guard(slotsMutex_);
    if (n < 0 || n >= kIfAddrSlots)
        return IfAddrSlot{};
    return slots_[n];
}

// The lowest alias number that no other slot of the VLAN uses; -1 (own the
// VLAN device) when no slot in use owns it yet.
int NetInterface::chooseAlias(int n, int vlanId) const
{
    bool taken[kMaxAlias + 1] = {};
    bool ownerInUse = false;
    for (int m = 0; m < kIfAddrSlots; ++m) {
        const IfAddrSlot& s = slots_[m];
        if (m == n || !s.inUse() || vlanGroup(s.vlanId) != vlanGroup(vlanId))
            continue;
        if (s.alias == -1)
            ownerInUse = true;
        else if (s.alias >= 0 && s.alias <= kMaxAlias)
            taken[s.alias] = true;
    }
    if (vlanId >= 0 && !ownerInUse)
        return -1;
    for (int a = 0; a <= kMaxAlias; ++a) {
        if (!taken[a])
            return a;
    }
    return kMaxAlias;
}

// Takes a slot's device away: an alias loses its address with its flags; an
// owned VLAN device is removed, or, when it cannot be, left down and without
// an address so that nothing of the slot stays reachable.
void NetInterface::releaseSlotDevice(const IfAddrSlot& s)
{
    char device[IFNAMSIZ];
    deviceName(device, sizeof(device), s.vlanId, s.alias);
    down(device);
    if (ownsVlanDevice(s) && !removeVlan(device))
        clearAddress(device);
}

int NetInterface::removeSlotLocked(int n)
{
    if (!slots_[n].inUse())
        return 0;
    const IfAddrSlot gone = slots_[n];
    slots_[n].address = 0;
    if (ownsVlanDevice(gone)) {
        // The aliases live on the device that goes away: they are marked
        // unused so that the next apply builds them again.
        for (int m = 0; m < kIfAddrSlots; ++m) {
            IfAddrSlot& s = slots_[m];
            if (m == n || !s.inUse() || vlanGroup(s.vlanId) != vlanGroup(gone.vlanId))
                continue;
            releaseSlotDevice(s);
            s.address = 0;
            droppedDependents_ = true;
        }
    }
    releaseSlotDevice(gone);
    return 1;
}

int NetInterface::removeSlot(int n)
{
    if (n < 0 || n >= kIfAddrSlots)
        return 0;
    std::lock_guard<std::mutex> guard(slotsMutex_);
    return removeSlotLocked(n);
}

void NetInterface::removeAllSlots()
{
    std::lock_guard<std::mutex> guard(slotsMutex_);
    for (int n = 0; n < kIfAddrSlots; ++n)
        removeSlotLocked(n);
}

int NetInterface::configureSlotLocked(int n, const IfAddrSlot& wanted)
{
    IfAddrSlot& current = slots_[n];
    if (current.inUse() && current.address == wanted.address && current.netmask == wanted.netmask &&
        current.gateway == wanted.gateway && current.vlanId == wanted.vlanId)
        return 0;
    const int removed = removeSlotLocked(n);
    if (!wanted.inUse())
        return removed;

    IfAddrSlot next = wanted;
    next.alias = chooseAlias(n, wanted.vlanId);
    char device[IFNAMSIZ];
    deviceName(device, sizeof(device), next.vlanId, next.alias);

    bool ready = true;
    if (ownsVlanDevice(next)) {
        if (!deviceExists(device))
            ready = addVlan(next.vlanId) == 1;
        ready = ready && up(device) == 1;
    }
    bool ok = ready && setAddress(ipv4(next.address), device) == 1;
    ok = ok && setNetmask(ipv4(next.netmask), device) == 1;
    ok = ok && addRoute(0, next.gateway, 0, device) == 1;
    if (!ok) {
        fprintf(stderr, "configureSlot: slot %d on %s not set up; tried again at the next apply\n", n, device);
        // Nothing of a half-built slot stays reachable.
        if (ready)
            releaseSlotDevice(next);
        current.address = 0;
        return -1;
    }
    current = next;
    return 1;
}

int NetInterface::configureSlot(int n, const SockAddr& address, const SockAddr& netmask, const SockAddr& gateway,
                                int vlanId)
{
    if (n < 0 || n >= kIfAddrSlots || address.isIpv6())
        return -1;
    IfAddrSlot wanted;
    wanted.address = address.ipv4Value();
    wanted.netmask = netmask.ipv4Value();
    wanted.gateway = gateway.ipv4Value();
    wanted.vlanId = vlanId;
    std::lock_guard<std::mutex> guard(slotsMutex_);
    return configureSlotLocked(n, wanted);
}

int NetInterface::applyVlanParams()
{
    if (!(static_cast<uint32_t>(params::sw_features()->value()) & kFeatureIp4Vlan))
        return 0;
    const int last = slotCount() - 1;
    const bool mgmt = params::ip4vlan_mgmt()->isOn();
    bool changed = false;
    bool on[kIfAddrSlots] = {};
    // A slot that fails now changed only when it was up before: one that
    // keeps failing gives nobody a reason to rebuild.
    auto configure = [this](int n, const IfAddrSlot& wanted) {
        const bool wasUp = slots_[n].inUse();
        const int r = configureSlotLocked(n, wanted);
        return r > 0 || (r < 0 && wasUp);
    };
    {
        std::lock_guard<std::mutex> guard(slotsMutex_);
        droppedDependents_ = false;
        if (!mgmt)
            changed |= removeSlotLocked(0) != 0;
        for (int n = 1; n <= last; ++n) {
            BoolParam* slotOn = params::ip4vlan_on(n);
            on[n] = slotOn && slotOn->isOn();
            if (!on[n])
                changed |= removeSlotLocked(n) != 0;
        }
        // A slot that owned a VLAN device takes its aliases with it; one more
        // pass builds them again.
        for (int pass = 0; pass < 2; ++pass) {
            if (pass > 0 && !droppedDependents_)
                break;
            droppedDependents_ = false;
            if (mgmt) {
                IfAddrSlot wanted;
                wanted.address = params::ip_addr()->address().ipv4Value();
                wanted.netmask = params::ip_mask()->address().ipv4Value();
                wanted.gateway = params::ip_gate()->address().ipv4Value();
                wanted.vlanId = params::ip4vlan_mgmt_id()->value();
                changed |= configure(0, wanted);
            }
            for (int n = 1; n <= last; ++n) {
                if (!on[n])
                    continue;
                IpParam* address = params::ip4vlan_addr(n);
                IpParam* mask = params::ip4vlan_mask(n);
                IpParam* gateway = params::ip4vlan_gate(n);
                IntParam* id = params::ip4vlan_id(n);
                if (!address || !mask || !gateway || !id || !address->address().isSet())
                    continue;
                IfAddrSlot wanted;
                wanted.address = address->address().ipv4Value();
                wanted.netmask = mask->address().ipv4Value();
                wanted.gateway = gateway->address().ipv4Value();
                wanted.vlanId = id->value();
                changed |= configure(n, wanted);
            }
        }
    }
    if (changed) {
        TaskMessage msg{0, MSG_NETWORK_CHANGED, 0, 0};
        broadcastMessage(&msg);
    }
    return 1;
}
