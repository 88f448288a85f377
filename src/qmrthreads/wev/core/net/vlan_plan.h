// The VLANs the box serves on, as its sockets need them: which listener slot
// is enabled with which VLAN id and address, the management VLAN, and the
// segment size of listeners. The sockets (connections and UDP services) take
// a plan made afresh from the parameters each time they bind; they never read
// a parameter themselves.
//
// Slots: 0 is the untagged interface, 1 to portSlots the port VLANs, any
// higher slot the management VLAN.
#pragma once

#include "core/addr/sock_addr.h"

constexpr int kMaxPortVlanSlots = 20;

struct VlanPortSlot {
    bool on = false;   // `ip4vlan_on_<n>` (off when the model hides it)
    int id = -1;       // `ip4vlan_id_<n>`; -1 when the model hides it
    SockAddr address;  // `ip4vlan_addr_<n>`; empty when hidden or not IPv4
};

struct VlanPlan {
    int portSlots = 0;  // the model's USB ports (`usb_ports_phy`)
    VlanPortSlot ports[kMaxPortVlanSlots + 1];  // [1..20]
    bool mgmtOn = false;        // `ip4vlan_mgmt`
    int mgmtId = 0;             // `ip4vlan_mgmt_id`
    bool mgmtUntagged = false;  // `ip4vlan_mgmt_untag`: UDP services also untagged
    int tcpMaxSeg = 0;          // `tcp_maxseg`; 0 or less: left to the kernel

    // The VLAN id a listener slot serves: -1 for the untagged interface,
    // below -1 when the slot is not enabled.
    int listenerVlanId(int slot) const;
    // The address a socket of the slot binds to: `ip4vlan_addr_<slot>` of a
    // port VLAN, empty for every other slot.
    SockAddr slotAddress(int slot) const;
};

// The plan as the parameters say now.
VlanPlan currentVlanPlan();
