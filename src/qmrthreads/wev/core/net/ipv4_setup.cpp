#include <net/if.h>

#include <atomic>
#include <cstdio>

#include "core/product/model_features.h"
#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"

int NetInterface::routeLinkLocal()
{
    SockAddr own;
    getAddress(&own, name_, -1);
    if (!own.isLinkLocal())
        return 0;
    SockAddr none;
    return none.applyAsGateway(*this, true);
}

bool NetInterface::routeIpv4Address()
{
    const SockAddr address = params::ip_addr()->address();
    if (address.isLinkLocal()) {
        routeLinkLocal();
        fprintf(stderr, "### ZeroConf IP:%s setup linklocal configuration ###\n", address.text());
        return true;
    }
    SockAddr gateway = params::ip_gate()->address();
    if (gateway.isSet()) {
        gateway.applyAsGateway(*this, true);
        fprintf(stderr, "### Non Zeronf IP:%s setup default Gate:%s ###\n", address.text(), gateway.text());
    }
    if ((productInfo().compat_id & COMPAT_IPV6_BIT) && params::ipv6()->isOn())
        applyIpv6Config();
    return false;
}

int NetInterface::setupIpv4()
{
    short flags = 0;
    if (!getFlags(&flags, nullptr))
        return 0;
    // Bouncing the link makes the switch and the peers notice the box anew.
    setFlags(static_cast<short>(flags & ~IFF_UP), nullptr);
    setFlags(static_cast<short>(flags | IFF_UP), nullptr);

    routeIpv4Address();
    if (static_cast<uint32_t>(params::sw_features()->value()) & kFeatureAccessControl)
        applyVlanParams();
    return 1;
}
