// Address set-up by ping ("ArpPing"): while the box runs on its ZeroConf
// link-local address, an administrator maps the wanted address to the box's
// MAC in a computer's ARP table and pings it. The first ICMP echo request
// addressed to the box's MAC with a usable unicast destination becomes the
// box's address (with the classful netmask), and the task ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/task/task.h"

class Connection;
class NetInterface;

// Whether an IPv4 packet (without its link-layer header) that arrived with
// the packet type pktType (PACKET_HOST, ...) gives the box an address while
// its own is currentAddress (network order). Sets *taken when it does.
bool pingGivesAddress(const uint8_t* packet, size_t length, int pktType, uint32_t currentAddress,
                      uint32_t* taken);

class ArpPingTask : public Task {
public:
    explicit ArpPingTask(NetInterface* iface);
    ~ArpPingTask() override;

    void run() override;
    uint32_t onMessage(TaskMessage* msg) override;

private:
    bool openSocket();
    // One packet within a second; true when it gave the box its address.
    bool watchOnce();
    void takeAddress(uint32_t address);

    NetInterface* iface_;
    Connection* packets_ = nullptr;
    bool reopen_ = true;
};
