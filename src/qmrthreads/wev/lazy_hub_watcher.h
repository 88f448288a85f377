// "LazyHubWatcher": notes network changes and, after one, renews what depends
// on the network configuration outside the tasks that listen themselves:
// the resolver file, and the mDNS responder when none runs and it is on.
#pragma once

#include "core/task/task.h"

#include <atomic>

class LazyHubWatcher : public Task {
public:
    LazyHubWatcher() : Task("LazyHubWatcher") {}
    void run() override;
    uint32_t onMessage(TaskMessage* msg) override;

    // One pass of the loop's work after a wait; returns true when a network
    // change was handled.
    bool handleNetworkChange();

private:
    std::atomic<int> networkChanged_{0};
};
