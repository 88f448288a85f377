#include "core/net/udp_service_task.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "core/util/byte_buffer.h"
#include "core/net/connection.h"
#include "core/net/net_interface.h"
#include "core/net/vlan_plan.h"

namespace {

// A wait without limit still wakes now and then and simply goes on.
constexpr int64_t kUnlimitedSliceTicks = 6000;

// The all-hosts group: the second group socket always adds its link-layer
// address, whatever its own group is.
SockAddr allHostsGroup()
{
    SockAddr a;
    a.setIpv4Bytes(224, 0, 0, 1);
    return a;
}

SockAddr groupOrNone(const SockAddr* group)
{
    SockAddr a;
    if (group)
        a = *group;
    if (!a.isIpv4())
        a.clear(false);
    return a;
}

int64_t monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool readable(const pollfd& p)
{
    return p.fd >= 0 && (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

} // namespace

UdpServiceTask::UdpServiceTask(const char* name, uint16_t port_, const SockAddr* group1_,
                               const SockAddr* group2_)
    : Task(name), port(port_), group1(groupOrNone(group1_)), group2(groupOrNone(group2_))
{
    socketSet_ = epoll_create1(EPOLL_CLOEXEC);
}

UdpServiceTask::~UdpServiceTask()
{
    closeSockets();
    if (socketSet_ >= 0)
        close(socketSet_);
}

void UdpServiceTask::watch(Connection* c)
{
    if (!c || c->fd < 0 || socketSet_ < 0)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = c->fd;
    epoll_ctl(socketSet_, EPOLL_CTL_ADD, c->fd, &ev);
}

void UdpServiceTask::unwatch(Connection* c)
{
    if (!c || c->fd < 0 || socketSet_ < 0)
        return;
    epoll_ctl(socketSet_, EPOLL_CTL_DEL, c->fd, nullptr);
}

void UdpServiceTask::deleteConnection(Connection*& c)
{
    if (!c)
        return;
    unwatch(c);
    delete c;
    c = nullptr;
}

void UdpServiceTask::closeSockets()
{
    // Every place, not only the entries in use: an earlier build may have
    // had more of them.
    for (Entry& e : entries) {
        deleteConnection(e.unicast);
        deleteConnection(e.group1);
        deleteConnection(e.group2);
    }
}

bool UdpServiceTask::entryVlanId(const VlanPlan& plan, int entry, int* vlanId) const
{
    if (entry == 0) {
        *vlanId = -1;
        return plan.mgmtUntagged;
    }
    if (entry <= plan.portSlots) {
        const VlanPortSlot& port = plan.ports[entry];
        if (!port.on)
            return false;
        *vlanId = port.id;
    } else {
        if (!plan.mgmtOn)
            return false;
        *vlanId = plan.mgmtId;
    }
    return *vlanId >= 0;
}

int UdpServiceTask::openUnicast(Connection* c, bool any)
{
    if (!c->open(AF_INET, SOCK_DGRAM, 0) || !c->setNonBlocking() || !c->bindDatagram(port, false, false, any))
        return 0;
    // Multicast for the port is read by the group sockets alone; this socket
    // would otherwise get a second copy of every request.
    c->disableMulticastAll();
    c->bindToDevice();
    return 1;
}

int UdpServiceTask::openGroupSocket(Connection* c, const SockAddr& group, const SockAddr& macGroup)
{
    if (!c->open(AF_INET, SOCK_DGRAM, 0) || !c->setNonBlocking() || !c->bindUdp(port, group, false)
        || !c->bindToDevice())
        return 0;
    // The membership above already opens the device's filter; this adds the
    // link-layer group by hand as the box always did (a failure is printed
    // there and does not cost the socket).
    if (c->iface)
        c->iface->joinMulticastMac(macGroup, c->vlanId);
    return 1;
}

int UdpServiceTask::openSockets(NetInterface* iface, bool any)
{
    iface_ = iface;
    if (socketSet_ < 0)
        socketSet_ = epoll_create1(EPOLL_CLOEXEC);
    if (socketSet_ < 0)
        return 0;
    const VlanPlan plan = currentVlanPlan();
    entryCount = plan.portSlots + 1 + (plan.mgmtOn ? 1 : 0);
    const SockAddr allHosts = allHostsGroup();

    for (int i = 0; i < entryCount; ++i) {
        Entry& e = entries[i];
        deleteConnection(e.unicast);
        deleteConnection(e.group1);
        deleteConnection(e.group2);
        int vlanId;
        if (!entryVlanId(plan, i, &vlanId))
            continue;

        e.unicast = new Connection(this, iface, vlanId);
        bool ok = openUnicast(e.unicast, any);
        watch(e.unicast);
        if (ok && group1.isSet()) {
            e.group1 = new Connection(this, iface, vlanId);
            ok = openGroupSocket(e.group1, group1, group1);
            watch(e.group1);
        }
        if (ok && group2.isSet()) {
            e.group2 = new Connection(this, iface, vlanId);
            ok = openGroupSocket(e.group2, group2, allHosts);
            watch(e.group2);
        }
        if (!ok) {
            closeSockets();
            return 0;
        }
    }
    return 1;
}

int UdpServiceTask::reopenUnicasts()
{
    int opened = 0;
    for (int i = 0; i < entryCount; ++i) {
        Connection* c = entries[i].unicast;
        if (!c)
            continue;
        unwatch(c);
        c->close();
        if (openUnicast(c, true)) {
            watch(c);
            ++opened;
        }
    }
    return opened;
}

uint32_t UdpServiceTask::onMessage(TaskMessage* msg)
{
    if (msg->code & MSG_NETWORK_CHANGED) {
        NetInterface* iface = entries[0].unicast ? entries[0].unicast->iface : iface_;
        if (!iface)
            iface = currentInterface();
        closeSockets();
        openSockets(iface, true);
        rebuilt = 1;
        return msg->code & ~MSG_NETWORK_CHANGED;
    }
    if (msg->code & MSG_ADDRESS_REPLACED) {
        reopenUnicasts();
        return msg->code & ~MSG_ADDRESS_REPLACED;
    }
    return msg->code;
}

Connection* UdpServiceTask::findReadable(Connection** replyFrom) const
{
    // Unicast sockets first, then the group sockets (group 1 before group 2
    // of each entry); a group finding wins, so multicast is served first.
    pollfd fds[kMaxEntries * 3];
    Connection* owners[kMaxEntries * 3];
    int places[kMaxEntries * 3];
    nfds_t n = 0;
    auto add = [&](Connection* c, int entry) {
        if (!c || c->fd < 0)
            return;
        fds[n] = {c->fd, POLLIN, 0};
        owners[n] = c;
        places[n] = entry;
        ++n;
    };
    const int count = std::min(entryCount, kMaxEntries);
    for (int i = 0; i < count; ++i)
        add(entries[i].unicast, i);
    const nfds_t unicasts = n;
    for (int i = 0; i < count; ++i) {
        add(entries[i].group1, i);
        add(entries[i].group2, i);
    }
    if (n == 0 || poll(fds, n, 0) <= 0)
        return nullptr;

    Connection* found = nullptr;
    for (nfds_t k = 0; k < unicasts && !found; ++k) {
        if (readable(fds[k])) {
            found = owners[k];
            *replyFrom = owners[k];
        }
    }
    for (nfds_t k = unicasts; k < n; ++k) {
        if (readable(fds[k])) {
            *replyFrom = entries[places[k]].unicast;
            return owners[k];
        }
    }
    return found;
}

int UdpServiceTask::receive(ByteBuffer* buffer, int64_t ticks, Connection** receivedOn, Connection** replyFrom)
{
    *receivedOn = nullptr;
    *replyFrom = nullptr;
    buffer->release();
    const bool unlimited = ticks <= 0;
    const int64_t deadline = unlimited ? 0 : monotonicMs() + ticks * 10;

    Connection* found = nullptr;
    while (!found) {
        int64_t slice = kUnlimitedSliceTicks;
        if (!unlimited) {
            int64_t leftMs = deadline - monotonicMs();
            if (leftMs <= 0)
                return -1;
            slice = (leftMs + 9) / 10;
        }
        // The wait serves this task's messages; a rebuild they cause
        // updates the socket set in place, so the wait goes on over the new
        // sockets.
        int rc = waitFor(slice, socketSet_);
        if (rc == 0)
            return -1;
        if (rc == 3)
            found = findReadable(replyFrom);
    }
    *receivedOn = found;
    return found->receive(buffer, 0);
}

int UdpServiceTask::socketCount() const
{
    int n = 0;
    for (const Entry& e : entries) {
        for (const Connection* c : {e.unicast, e.group1, e.group2})
            n += (c && c->fd >= 0) ? 1 : 0;
    }
    return n;
}
