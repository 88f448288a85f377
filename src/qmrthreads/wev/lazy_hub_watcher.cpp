#include "lazy_hub_watcher.h"

#include "core/net/net_interface.h"
#include "core/net/resolv_conf.h"
#include "services/mdns/bonjour_task.h"

uint32_t LazyHubWatcher::onMessage(TaskMessage* msg)
{
    if (msg->code & MSG_NETWORK_CHANGED)
        networkChanged_.store(1);
    return msg->code;
}

bool LazyHubWatcher::handleNetworkChange()
{
    if (!networkChanged_.exchange(0))
        return false;
    writeResolvConf();
    // A responder that ended (it was off, or its sockets could not be
    // opened) comes back when the new configuration wants one.
    startBonjourTask(currentInterface());
    return true;
}

void LazyHubWatcher::run()
{
    for (;;) {
        pollEvents(6000);
        handleNetworkChange();
    }
}
