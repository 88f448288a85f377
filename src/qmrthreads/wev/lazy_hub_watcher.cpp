#include "lazy_hub_watcher.h"

#include "core/net/resolv_conf.h"

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
    return true;
}

void LazyHubWatcher::run()
{
    for (;;) {
        pollEvents(6000);
        handleNetworkChange();
    }
}
