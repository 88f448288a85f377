#include "core/net/vlan_plan.h"

#include "core/params/param_handles.h"
#include "core/product/product_info.h"

#include <algorithm>

namespace {

constexpr int kSlotDisabled = -2;

VlanPortSlot portSlot(int n)
{
    VlanPortSlot slot;
    if (BoolParam* on = params::ip4vlan_on(n))
        slot.on = on->isOn();
    if (IntParam* id = params::ip4vlan_id(n))
        slot.id = id->value();
    if (IpParam* address = params::ip4vlan_addr(n))
        slot.address = address->address();
    if (!slot.address.isIpv4())
        slot.address.clear(false);
    return slot;
}

} // namespace

int VlanPlan::listenerVlanId(int slot) const
{
    if (slot <= 0)
        return -1;
    if (slot > portSlots) {
        if (!mgmtOn)
            return kSlotDisabled;
        return mgmtId < 0 ? kSlotDisabled : mgmtId;
    }
    const VlanPortSlot& port = ports[slot];
    if (!port.on || port.id < 0)
        return kSlotDisabled;
    return port.id;
}

SockAddr VlanPlan::slotAddress(int slot) const
{
    if (slot < 1 || slot > portSlots)
        return SockAddr();
    return ports[slot].address;
}

VlanPlan currentVlanPlan()
{
    VlanPlan plan;
    plan.portSlots = std::min(static_cast<int>(productInfo().usb_ports_phy), kMaxPortVlanSlots);
    for (int n = 1; n <= plan.portSlots; ++n)
        plan.ports[n] = portSlot(n);
    plan.mgmtOn = params::ip4vlan_mgmt()->isOn();
    plan.mgmtId = params::ip4vlan_mgmt_id()->value();
    plan.mgmtUntagged = params::ip4vlan_mgmt_untag()->isOn();
    plan.tcpMaxSeg = params::tcp_maxseg()->value();
    return plan;
}
