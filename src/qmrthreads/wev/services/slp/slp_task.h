// SlpTask ("SLP"): the SLPv1 service agent on UDP 427 in the groups
// 224.0.1.22 and 224.0.0.1. It answers requests for the box's service type
// with one URL, and while the box has only its link-local address a request
// naming the box may give it an address, netmask and gateway.
#pragma once

#include "core/net/udp_service_task.h"

class SlpTask : public UdpServiceTask {
public:
    explicit SlpTask(NetInterface* iface);
    void run() override;

    // Parses, applies and answers one datagram through reply (whose peer
    // is the requester); 1 when a reply was sent.
    int handleServiceRequest(Connection* reply, uint8_t* msg, int length, const SockAddr& local);

private:
    void applyAddress(const struct SlpRequest& req);

    NetInterface* iface_;
};

// Creates and starts the task on the interface; its id, or -1.
int startSlpTask(NetInterface* iface);
// The URL the box answers with, from the address the reply goes out from.
void buildSlpUrl(const char* localAddress, bool limited, char* out, size_t size);
