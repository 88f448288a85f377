// The DHCP and BOOTP client ("Bootp"): gets the box's IPv4 address, netmask,
// gateway, name servers, domain, host name and time server from a server,
// keeps the lease (renewing and rebinding), and falls back to a fresh
// ZeroConf link-local address when a lease from it is lost or refused.
//
// Requests go out as whole IPv4/UDP frames on a packet socket, so they leave
// while the interface has only a link-local address; replies come in on an
// ordinary UDP socket on port 68. MSG_RESTART_DHCP starts over at DISCOVER;
// MSG_NETWORK_CHANGED ends the wait of a bound lease, so it is renewed at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/addr/sock_addr.h"
#include "core/task/task.h"
#include "services/dhcp/dhcp_message.h"

class Connection;
class NetInterface;

// RFC 2131's client states, and a stop after an unanswered DISCOVER.
enum class DhcpState : int {
    InitReboot = 0,
    Rebooting = 1,
    Init = 2,
    Selecting = 3,
    Requesting = 4,
    Bound = 5,
    Renewing = 6,
    Rebinding = 7,
    Stopped = 8,
};

class BootpTask : public Task {
public:
    explicit BootpTask(NetInterface* iface);
    ~BootpTask() override;

    void run() override;
    uint32_t onMessage(TaskMessage* msg) override;

    DhcpState state() const { return state_.load(); }

private:
    void serve();
    bool openUdpSocket();
    void dhcpStep();
    bool bootpRoundTookLease(uint64_t* lastRequestTick, bool* first);
    void leaseStep();
    void waitUntilRenewal();

    void sendDiscover();
    // Broadcast frame, or unicast to the server when the lease is renewed.
    void sendRequest(bool broadcast, bool askForOffered);
    void sendBootRequest();
    void sendBroadcastFrame();
    void sendUnicast();
    uint32_t nextXid();
    DhcpRequestFields requestFields(uint32_t xid);

    // The type of the next accepted reply (parsed into reply_), or -1 when
    // none came before the deadline or a restart was asked for.
    int awaitReply(uint64_t deadlineTick);
    void startWait(int64_t ticks);

    void takeAck(const char* source);
    void applyLease(const char* source);
    void applyOptions();
    void resetToZeroConf();

    NetInterface* iface_;
    std::atomic<DhcpState> state_{DhcpState::Init};
    std::atomic<bool> restart_{false};
    uint8_t mac_[6] = {};
    uint8_t message_[kBootpMessageSize] = {};
    uint32_t lastXid_ = 0;
    DhcpReply reply_;
    DhcpReply lease_;             // the reply the lease came with
    uint32_t offeredAddress_ = 0; // network order
    uint32_t serverAddress_ = 0;
    SockAddr boundAddress_;
    Connection* udp_ = nullptr;
    uint64_t secsBase_ = 0;
    uint64_t waitDeadline_ = 0;
    std::string hostName_;  // what requestFields hands out
};
