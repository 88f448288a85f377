// BonjourTask ("Bonjour"): the mDNS/DNS-SD responder on UDP 5353 in the
// group 224.0.0.251, at every place the box is reachable. One responder
// runs at a time: a second one that is started ends at once and leaves the
// first alone; only the running one says goodbye when it ends.
#pragma once

#include <atomic>

#include "core/net/udp_service_task.h"
#include "services/mdns/bonjour_responder.h"

class BonjourTask : public UdpServiceTask, private MdnsSender {
public:
    explicit BonjourTask(NetInterface* iface);
    ~BonjourTask() override;

    void run() override;
    // Ends the thread; the running responder first says goodbye.
    [[noreturn]] void exit() override;

    BonjourResponder responder;

private:
    // An answer to a received message goes out where the message came in;
    // the responder's own messages (probes, the announcement, delayed
    // answers, the goodbye) go out at every place.
    int sendMessage(BonjourResponder& r, int kind, const MdnsQuery* legacy) override;
    int sendFrom(Connection* via, BonjourResponder& r, int kind, const MdnsQuery* legacy);
    uint32_t answerAddress(Connection* via) const;
    void leave();

    NetInterface* iface_;
    // The place the datagram being handled came in on.
    Connection* replyFrom_ = nullptr;
    SockAddr sender_;
    bool owner_ = false;
};

// Id of the running responder, -1 when none.
int bonjourTaskId();
// Creates and starts a responder on the interface when none runs and
// `bonjour` is on; the new task's id, or -1.
int startBonjourTask(NetInterface* iface);
