#include "services/arp_ping/arp_ping_task.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <sched.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "core/addr/sock_addr.h"
#include "core/net/connection.h"
#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"

namespace {

constexpr size_t kPacketBufferSize = 2048;
constexpr int64_t kReadWaitTicks = 100;
constexpr uint8_t kIcmpProtocol = 1;
constexpr uint8_t kIcmpEchoRequest = 8;

// A unicast address a box can take: not this network (0/8), not loopback,
// not multicast or reserved, not a broadcast (last octet 255), not link-local.
bool isTakeableAddress(uint32_t networkWord)
{
    const uint32_t a = ntohl(networkWord);
    const uint32_t first = a >> 24;
    if (first == 0 || first == 127 || first >= 224)
        return false;
    if ((a & 0xff) == 255)
        return false;
    return (a >> 16) != 0xa9fe;
}

bool isLinkLocal(uint32_t networkWord)
{
    return (ntohl(networkWord) >> 16) == 0xa9fe;
}

} // namespace

bool pingGivesAddress(const uint8_t* packet, size_t length, int pktType, uint32_t currentAddress,
                      uint32_t* taken)
{
    // Frames for other hosts reach a packet socket too (bridges, flooded
    // unicast, promiscuous mode), and so do the box's own outgoing ones.
    if (pktType != PACKET_HOST || !isLinkLocal(currentAddress))
        return false;
    if (length < 20 || (packet[0] >> 4) != 4)
        return false;
    const size_t headerLength = static_cast<size_t>(packet[0] & 0x0f) * 4;
    if (headerLength < 20 || length < headerLength + 8)
        return false;
    if (packet[9] != kIcmpProtocol || packet[headerLength] != kIcmpEchoRequest)
        return false;
    uint32_t destination;
    memcpy(&destination, packet + 16, sizeof destination);
    if (!isTakeableAddress(destination))
        return false;
    *taken = destination;
    return true;
}

ArpPingTask::ArpPingTask(NetInterface* iface) : Task("ArpPing"), iface_(iface) {}

ArpPingTask::~ArpPingTask()
{
    delete packets_;
}

uint32_t ArpPingTask::onMessage(TaskMessage* msg)
{
    if (msg->code & MSG_ADDRESS_REPLACED)
        reopen_ = true;
    return msg->code & ~MSG_ADDRESS_REPLACED;
}

bool ArpPingTask::openSocket()
{
    if (packets_) {
        delete packets_;
        packets_ = nullptr;
        waitFor(kReadWaitTicks, -1);
    }
    uint8_t mac[6] = {};
    iface_->readMac(mac);
    packets_ = new Connection(this, iface_, -1);
    if (!packets_->open(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP)) ||
        !packets_->bindPacket(packets_->interfaceIndex(), mac)) {
        fprintf(stderr, "ArpPing: no packet socket on %s: %m\n", iface_->name());
        delete packets_;
        packets_ = nullptr;
        return false;
    }
    reopen_ = false;
    return true;
}

bool ArpPingTask::watchOnce()
{
    if (waitFor(kReadWaitTicks, packets_->fd) != 3)
        return false;
    uint8_t buffer[kPacketBufferSize];
    sockaddr_ll from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(packets_->fd, buffer, sizeof buffer, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n <= 0)
        return false;
    uint32_t address = 0;
    if (!pingGivesAddress(buffer, static_cast<size_t>(n), from.sll_pkttype,
                          params::ip_addr()->address().ipv4Value(), &address))
        return false;
    takeAddress(address);
    return true;
}

void ArpPingTask::takeAddress(uint32_t address)
{
    SockAddr taken;
    taken.setIpv4(address);
    taken.applyAsAddress(*iface_, "ping", true);
    taken.classfulNetmask().applyAsNetmask(*iface_, true);
    fprintf(stderr, "### ArpPing IP:%s/%s ###\n", taken.text(), taken.classfulNetmask().text());
    saveParamsIfDirty();
}

void ArpPingTask::run()
{
    for (;;) {
        if (reopen_ && !openSocket())
            break;
        if (watchOnce())
            break;
        sched_yield();
    }
    Task::exit();
}
