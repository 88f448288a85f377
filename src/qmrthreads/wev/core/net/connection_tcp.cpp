// TCP listeners, accepting and connecting.
#include "core/net/connection.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/net/vlan_plan.h"
#include "core/task/tick_clock.h"

namespace {

constexpr int kListenBacklog = 8;

Connection* newPlainConnection(Task* owner, NetInterface* iface, int vlanId)
{
    return new Connection(owner, iface, vlanId);
}

std::atomic<ConnectionFactory> serverFactory{newPlainConnection};

socklen_t addressLength(int family)
{
    return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// A dual-stack listener sees IPv4 peers as ::ffff:a.b.c.d; everything above
// (access lists, client names, logs) compares and shows them as IPv4.
void unmapIpv4(SockAddr* address)
{
    if (!address->isIpv6() || !IN6_IS_ADDR_V4MAPPED(&address->in6.sin6_addr))
        return;
    uint16_t port = address->in6.sin6_port;
    uint32_t word;
    memcpy(&word, &address->in6.sin6_addr.s6_addr[12], sizeof word);
    address->clear(false);
    address->setIpv4(word);
    address->in4.sin_port = port;
}

} // namespace

void setServerConnectionFactory(ConnectionFactory factory)
{
    serverFactory.store(factory ? factory : newPlainConnection);
}

Connection* newServerConnection(Task* owner, NetInterface* iface, int vlanId)
{
    return serverFactory.load()(owner, iface, vlanId);
}

Connection* createTcpServer(Task* owner, int port, NetInterface* iface, int vlanSlot)
{
    if (!iface || port <= 0)
        return nullptr;
    const VlanPlan plan = currentVlanPlan();
    int vlanId = plan.listenerVlanId(vlanSlot);
    if (vlanId < -1)
        return nullptr;
    Connection* c = newServerConnection(owner, iface, vlanId);
    if (!c)
        return nullptr;
    int family = vlanSlot <= 0 ? AF_INET6 : AF_INET;
    bool ok = c->open(family, SOCK_STREAM, 0) && c->setReuseAddr() && c->bindToDevice()
              && c->bind(port, true, vlanSlot) && c->setNonBlocking();
    if (!ok) {
        c->closeSession();
        return nullptr;
    }
    if (plan.tcpMaxSeg > 0)
        set_maxseg(c->fd, plan.tcpMaxSeg);
    if (!c->listen(kListenBacklog)) {
        c->closeSession();
        return nullptr;
    }
    return c;
}

Connection* acceptReady(Connection* listener)
{
    Connection* c = newServerConnection(listener->owner, listener->iface, listener->vlanId);
    if (!c)
        return nullptr;
    c->port = listener->port;
    c->family = listener->family;
    c->type = listener->type;
    if (!c->acceptFrom(listener->fd)) {
        c->closeSession();
        return nullptr;
    }
    c->state = kConnConnected;
    return c;
}

int Connection::acceptFrom(int listenFd)
{
    peer.clear(false);
    socklen_t length = sizeof peer;
    int s = accept4(listenFd, &peer.sa, &length, SOCK_CLOEXEC);
    if (s < 0)
        return 0;
    fd = s;
    length = sizeof peer;
    getpeername(fd, &peer.sa, &length);
    length = sizeof local;
    getsockname(fd, &local.sa, &length);
    unmapIpv4(&peer);
    unmapIpv4(&local);
    family = peer.family();
    flags = 0;
    return 1;
}

Connection* Connection::acceptNew(bool tls)
{
    if (!wait4read(-1, nullptr, true))
        return nullptr;
    Connection* c = newServerConnection(owner, iface, vlanId);
    if (!c)
        return nullptr;
    c->port = port;
    c->family = family;
    c->type = type;
    if (!c->acceptFrom(fd)) {
        int e = errno;
        c->closeSession();
        errno = e;
        return nullptr;
    }
    c->state = kConnConnected;
    if (tls && !c->serverHandshake()) {
        c->closeSession();
        return nullptr;
    }
    return c;
}

int Connection::connect(int timeoutTicks)
{
    if (fd < 0)
        return 0;
    socklen_t length = addressLength(peer.family());
    if ((family != AF_INET && family != AF_INET6) || timeoutTicks < 0 || type != SOCK_STREAM) {
        if (::connect(fd, &peer.sa, length) != 0)
            return 0;
        state = kConnConnected;
        return 1;
    }
    return connectStream(timeoutTicks, length);
}

int Connection::connectStream(int timeoutTicks, socklen_t length)
{
    if (::connect(fd, &peer.sa, length) != 0) {
        int e = errno;
        if (e != EINPROGRESS && e != EALREADY && e != EINTR && e != EISCONN)
            return 0;
        if (e != EISCONN) {
            // Time-out 0 waits until the kernel itself gives the attempt up.
            const int64_t limit = timeoutTicks == 0 ? -1 : timeoutTicks;
            const uint64_t start = boardTicks();
            for (;;) {
                int64_t left = limit;
                if (limit > 0) {
                    left = limit - static_cast<int64_t>(boardTicks() - start);
                    if (left <= 0)
                        return 0;
                }
                int error = 0;
                if (wait4write(left, &error, true))
                    break;
                if (error != 0)
                    return 0;
                // A network-change message ended the wait; the attempt goes on.
            }
            int soError = 0;
            socklen_t size = sizeof soError;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size) != 0)
                return 0;
            if (soError != 0) {
                errno = soError;
                return 0;
            }
        }
    }
    state = kConnConnected;
    return 1;
}

int Connection::connectWithTls(int timeoutTicks, bool tls)
{
    if (!connect(timeoutTicks))
        return 0;
    if (!tls)
        return 1;
    return clientHandshake();
}
