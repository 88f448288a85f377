// Packet sockets for the DHCP client and the link-local address watch.
#include "core/net/connection.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/net/net_interface.h"
#include "core/net/send_loop.h"

static_assert(sizeof(sockaddr_ll) <= sizeof(SockAddr), "the link-layer record fits the local address");

namespace {

const sockaddr_ll* linkRecord(const SockAddr& address)
{
    return reinterpret_cast<const sockaddr_ll*>(&address);
}

} // namespace

int Connection::interfaceIndex()
{
    return iface ? static_cast<int>(if_nametoindex(iface->name())) : 0;
}

int Connection::bindPacket(int ifIndex, const uint8_t mac[6])
{
    sockaddr_ll record{};
    record.sll_family = AF_PACKET;
    record.sll_protocol = htons(ETH_P_IP);
    record.sll_ifindex = ifIndex;
    record.sll_hatype = 0;
    record.sll_pkttype = 0;
    record.sll_halen = 6;
    memcpy(record.sll_addr, mac, 6);
    local.clear(false);
    memcpy(static_cast<void*>(&local), &record, sizeof record);
    if (fd < 0)
        return 0;
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&record), sizeof record) == 0 ? 1 : 0;
}

int Connection::sendPacket(const void* data, int length, bool once)
{
    const sockaddr* to = reinterpret_cast<const sockaddr*>(linkRecord(local));
    const int sent = sendWhole(fd, data, length, once, [this, to](const char* p, size_t size) {
        return sendto(fd, p, size, 0, to, sizeof(sockaddr_ll));
    });
    return sent < 0 ? kConnBroken : sent;
}
