// Datagram sockets: receive, send, and binding for multicast groups and
// broadcast.
#include "core/net/connection.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/util/byte_buffer.h"
#include "core/net/net_interface.h"
#include "core/net/send_loop.h"

namespace {

socklen_t addressLength(int family)
{
    return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

bool isBroadcastGroup(const SockAddr& group)
{
    return group.isIpv4() && group.in4.sin_addr.s_addr == htonl(INADDR_BROADCAST);
}

} // namespace

int Connection::receive(ByteBuffer* buffer, int64_t ticks)
{
    if (!buffer->owned || !buffer->memory || buffer->capacity - buffer->length < kDatagramMinFree) {
        buffer->release();
        if (!buffer->reserve(kDatagramBlockSize))
            return -1;
    } else {
        buffer->rewind();
    }

    int error = 0;
    if (!wait4read(ticks, &error, true)) {
        buffer->release();
        return -1;
    }

    const int room = buffer->capacity - buffer->length;
    ssize_t n;
    if (state == kConnConnected) {
        n = read(fd, buffer->memory, static_cast<size_t>(room));
    } else {
        // Room for either family's sender address.
        peer.clear(false);
        socklen_t length = sizeof peer;
        n = recvfrom(fd, buffer->memory, static_cast<size_t>(room), 0, &peer.sa, &length);
    }
    if (n > 0 && n < room) {
        buffer->length = static_cast<int>(n);
        return static_cast<int>(n);
    }
    if (n == room) {
        // As large as the whole free space: the datagram may have been cut.
        buffer->release();
        return -1;
    }
    return static_cast<int>(n);
}

int Connection::sendAll(const void* data, int length, bool once)
{
    return sendWhole(fd, data, length, once, [this](const char* p, size_t size) {
        if (state == kConnConnected)
            return write(fd, p, size);
        return sendto(fd, p, size, 0, &peer.sa, addressLength(peer.family()));
    });
}

int Connection::bindUdp(int port_, const SockAddr& group, bool dontRoute)
{
    const bool broadcast = isBroadcastGroup(group);
    port = port_;
    local.clear(false);
    if (iface)
        iface->getAddress(&local, nullptr, vlanId);
    local.sa.sa_family = static_cast<sa_family_t>(family);
    local.in4.sin_port = htons(static_cast<uint16_t>(port_));
    const in_addr interfaceAddress = local.in4.sin_addr;

    setReuseAddr();
    setMulticastTtl(1);
    if (!broadcast) {
        disableMulticastLoop();
        disableMulticastAll();
    }
    if (dontRoute)
        setDontRoute();

    SockAddr target;
    if (broadcast)
        target.setIpv4(htonl(INADDR_ANY));
    else
        target = group;
    target.in4.sin_port = htons(static_cast<uint16_t>(port_));
    if (fd < 0 || ::bind(fd, &target.sa, sizeof(sockaddr_in)) != 0)
        return 0;

    if (!broadcast) {
        // The device index names the VLAN device even before it has an
        // address; the address alone would leave the choice to the routes.
        char device[IFNAMSIZ];
        deviceName(device, sizeof device);
        ip_mreqn request{};
        request.imr_multiaddr = group.in4.sin_addr;
        request.imr_address = interfaceAddress;
        request.imr_ifindex = iface ? static_cast<int>(if_nametoindex(device)) : 0;
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0)
            return 0;
    }
    socklen_t length = sizeof local;
    getsockname(fd, &local.sa, &length);
    return 1;
}

int Connection::bindDatagram(int port_, bool broadcast, bool dontRoute, bool any)
{
    if (broadcast) {
        SockAddr all;
        all.setIpv4(htonl(INADDR_BROADCAST));
        return bindUdp(port_, all, dontRoute);
    }
    return bind(port_, any, 0);
}
