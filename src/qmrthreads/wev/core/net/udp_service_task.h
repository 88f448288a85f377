// UdpServiceTask: base of the program's UDP responders (SLP, mDNS). It
// serves one UDP port at every place the box is reachable: the untagged
// interface, every enabled port VLAN and the management VLAN, each with one
// unicast socket and one or two multicast group sockets. One receive call
// covers them all and says which socket a datagram came in on and which
// unicast socket answers it; the set is rebuilt on its own when the network
// configuration changes, so a subclass only parses and answers.
//
// The sockets are used only by the task's own thread; messages are handled
// on that thread inside receive(), so a rebuild never runs while a socket is
// in use.
#pragma once

#include <cstdint>

#include "core/addr/sock_addr.h"
#include "core/task/task.h"

class ByteBuffer;
class Connection;
class NetInterface;
struct VlanPlan;

class UdpServiceTask : public Task {
public:
    // Entry 0 the untagged interface, 1 to `usb_ports_phy` (at most 20) the
    // port VLANs, the next one the management VLAN.
    static constexpr int kMaxEntries = 22;

    struct Entry {
        Connection* unicast = nullptr;
        Connection* group1 = nullptr;
        Connection* group2 = nullptr;
    };

    // An absent group is 0.0.0.0 (no socket for it).
    UdpServiceTask(const char* name, uint16_t port, const SockAddr* group1, const SockAddr* group2);
    ~UdpServiceTask() override;

    // Builds every entry; 1, or 0 after closing everything.
    int openSockets(NetInterface* iface, bool any);
    // Datagram socket of family AF_INET, non-blocking, bound to the port and
    // tied to the connection's device; 1 or 0.
    int openUnicast(Connection* c, bool any);
    void closeSockets();
    // Bytes received, or -1 (time-out, or nothing readable). A time-out of
    // 0 or less waits without limit, serving messages meanwhile. receivedOn
    // is the socket the datagram came in on, replyFrom the unicast socket of
    // the same place; a multicast datagram is served before a unicast one.
    int receive(ByteBuffer* buffer, int64_t ticks, Connection** receivedOn, Connection** replyFrom);
    // MSG_NETWORK_CHANGED rebuilds everything (rebuilt := 1);
    // MSG_ADDRESS_REPLACED re-binds the unicast sockets.
    uint32_t onMessage(TaskMessage* msg) override;

    // Sockets currently open (tests and status).
    int socketCount() const;

    uint16_t port;
    SockAddr group1;
    SockAddr group2;
    int entryCount = 1;
    uint8_t rebuilt = 0;  // read and cleared by the subclasses
    Entry entries[kMaxEntries];

private:
    bool entryVlanId(const VlanPlan& plan, int entry, int* vlanId) const;
    int openGroupSocket(Connection* c, const SockAddr& group, const SockAddr& macGroup);
    Connection* findReadable(Connection** replyFrom) const;
    void watch(Connection* c);
    void unwatch(Connection* c);
    void deleteConnection(Connection*& c);
    int reopenUnicasts();

    // The interface the sockets were last built for; a rebuild after a
    // failed one still knows it.
    NetInterface* iface_ = nullptr;
    // Every open socket of the task, so one wait covers them all; a rebuild
    // updates it while the wait goes on.
    int socketSet_ = -1;
};
