#include <cstdio>

#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/addr/sock_addr.h"

namespace {

void recordSource(const char* setBy)
{
    P3List* source = params::ip_setby();
    const int32_t row = source->indexOfToken(setBy);
    if (row == P3List::kNoRow) {
        fprintf(stderr, "applyAsAddress: unknown address source \"%s\" not recorded\n", setBy);
        return;
    }
    source->setIndex(row);
}

}  // namespace

int SockAddr::applyAsAddress(NetInterface& iface, const char* setBy, bool store) const
{
    if (isIpv6())
        return 0;
    if (store) {
        params::ip_addr()->setAddress(*this);
        if (setBy)
            recordSource(setBy);
    }
    if (!iface.setAddress(*this, iface.name()))
        return 0;
    SockAddr mask = params::ip_mask()->address();
    if (isLinkLocal() || !mask.isSet())
        mask = classfulNetmask();
    return mask.applyAsNetmask(iface, true);
}

int SockAddr::applyAsNetmask(NetInterface& iface, bool store) const
{
    if (isIpv6())
        return 0;
    // Stored only once the interface took it: a refused mask must not stay
    // in `ip_mask`, where it would differ from the kernel's for good.
    if (!isLastByteEven())
        return 0;
    if (!iface.setNetmask(*this, iface.name()))
        return 0;
    if (store)
        params::ip_mask()->setAddress(*this);
    return 1;
}

int SockAddr::applyAsGateway(NetInterface& iface, bool store) const
{
    if (isIpv6())
        return 0;
    if (store)
        params::ip_gate()->setAddress(*this);
    if (isSet() && !isLinkLocal())
        iface.deleteRoute(0);
    return iface.addRoute(0, ipv4Value(), 0, iface.name());
}
