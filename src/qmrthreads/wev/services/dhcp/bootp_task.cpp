#include "services/dhcp/bootp_task.h"

#include <arpa/inet.h>
#include <net/ethernet.h>
#include <sched.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/net/connection.h"
#include "core/net/dhcp_lease.h"
#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/product_info.h"
#include "core/task/tick_clock.h"

namespace {

constexpr int64_t kReplyWaitTicks = 500;
constexpr uint64_t kBootRequestPeriodTicks = 12000;
constexpr size_t kReplyBufferSize = 2048;

SockAddr ipv4(uint32_t networkWord)
{
    SockAddr a;
    a.setIpv4(networkWord);
    return a;
}

void broadcastNetworkChanged()
{
    TaskMessage msg{0, MSG_NETWORK_CHANGED, 0, 0};
    broadcastMessage(&msg);
}

void saveAndAnnounce()
{
    if (saveParamsIfDirty() & kChangedSave)
        broadcastNetworkChanged();
}

bool addressCameFromServer()
{
    return params::ip_setby()->equalsToken("dhcp") || params::ip_setby()->equalsToken("bootp");
}

} // namespace

BootpTask::BootpTask(NetInterface* iface) : Task("Bootp"), iface_(iface)
{
    iface_->readMac(mac_);
    initBootRequest(message_, mac_);
    secsBase_ = boardTicks();
}

BootpTask::~BootpTask()
{
    delete udp_;
}

void BootpTask::run()
{
    serve();
    Task::exit();
}

uint32_t BootpTask::onMessage(TaskMessage* msg)
{
    if (msg->code & MSG_RESTART_DHCP)
        restart_.store(true);
    return msg->code & ~MSG_ADDRESS_REPLACED;
}

void BootpTask::serve()
{
    if (params::ip_bootp_addr()->hasValue())
        state_ = DhcpState::InitReboot;
    if (params::ip_addr()->hasValue()) {
        boundAddress_ = params::ip_addr()->address();
        if (!openUdpSocket())
            return;
    }
    if (!mac_[0] && !mac_[1] && !mac_[2] && !mac_[3] && !mac_[4] && !mac_[5]) {
        iface_->readMac(mac_);
        memcpy(message_ + kBootpChaddr, mac_, 6);
    }
    uint64_t lastBootRequest = 0;
    bool firstBootRequest = true;
    for (;;) {
        const bool dhcp = params::ip_dhcp()->isOn();
        const bool bootp = params::ip_bootp()->isOn();
        if (!dhcp && !bootp)
            return;
        if (dhcp) {
            while (state_.load() != DhcpState::Stopped)
                dhcpStep();
            state_ = DhcpState::Init;
        }
        if (bootp && bootpRoundTookLease(&lastBootRequest, &firstBootRequest))
            return;
    }
}

// One BOOTREQUEST every two minutes at most, then one reply window. A
// plain BOOTP reply (no message type) gives the lease and ends the task.
bool BootpTask::bootpRoundTookLease(uint64_t* lastRequestTick, bool* first)
{
    if (*first || boardTicks() - *lastRequestTick > kBootRequestPeriodTicks) {
        *first = false;
        *lastRequestTick = boardTicks();
        sendBootRequest();
    }
    if (awaitReply(boardTicks() + kReplyWaitTicks) != 0)
        return false;
    applyLease("bootp");
    return true;
}

bool BootpTask::openUdpSocket()
{
    SockAddr current;
    if (!iface_->getAddress(&current, nullptr, -1) || !current.isSet())
        return udp_ != nullptr;
    if (udp_ && current.equals(boundAddress_))
        return true;
    delete udp_;
    udp_ = new Connection(this, iface_, -1);
    if (!udp_->open(AF_INET, SOCK_DGRAM, 0) || !udp_->setNonBlocking() || !udp_->bind(kBootpClientPort, true, 0)) {
        fprintf(stderr, "Bootp: no UDP socket on port %d: %m\n", kBootpClientPort);
        delete udp_;
        udp_ = nullptr;
        return false;
    }
    boundAddress_ = current;
    return true;
}

void BootpTask::startWait(int64_t ticks)
{
    waitDeadline_ = boardTicks() + static_cast<uint64_t>(ticks > 0 ? ticks : 1);
}

int BootpTask::awaitReply(uint64_t deadlineTick)
{
    uint8_t buffer[kReplyBufferSize];
    for (;;) {
        if (!openUdpSocket() || !udp_)
            return -1;
        const uint64_t now = boardTicks();
        if (now >= deadlineTick || restart_.load())
            return -1;
        const int rc = waitFor(static_cast<int64_t>(deadlineTick - now), udp_->fd);
        if (restart_.load() || rc == 0 || rc == 1)
            return -1;
        if (rc != 3)
            continue;
        const ssize_t n = recv(udp_->fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0 || !isReplyFor(buffer, static_cast<size_t>(n), mac_, lastXid_))
            continue;
        parseDhcpReply(buffer, static_cast<size_t>(n), &reply_);
        return reply_.messageType;
    }
}

uint32_t BootpTask::nextXid()
{
    uint32_t xid = htonl(static_cast<uint32_t>(boardTicks()));
    if (xid == lastXid_)
        xid = htonl(ntohl(xid) + 1);
    lastXid_ = xid;
    return xid;
}

DhcpRequestFields BootpTask::requestFields(uint32_t xid)
{
    hostName_ = paramText(params::sys_name());
    if (hostName_.empty())
        hostName_ = productInfo().default_name;
    DhcpRequestFields fields;
    fields.xid = xid;
    fields.hostName = hostName_.c_str();
    return fields;
}

void BootpTask::sendDiscover()
{
    DhcpRequestFields fields = requestFields(nextXid());
    fields.requestedAddress = params::ip_bootp_addr()->address().ipv4Value();
    buildDiscover(message_, fields);
    sendBroadcastFrame();
}

// The request that follows an offer keeps the offer's transaction and names
// the server chosen; the others (reboot, renew, rebind) name no server, so
// that any server that knows the lease may answer a rebinding client.
void BootpTask::sendRequest(bool broadcast, bool askForOffered)
{
    DhcpRequestFields fields = requestFields(askForOffered ? lastXid_ : nextXid());
    const uint32_t known = params::ip_bootp_addr()->address().ipv4Value();
    const DhcpState s = state_.load();
    if (!askForOffered && known && s != DhcpState::InitReboot && s != DhcpState::Init && s != DhcpState::Selecting)
        fields.ciaddr = known;
    if (askForOffered)
        fields.serverId = serverAddress_;
    fields.requestedAddress = askForOffered || !known ? offeredAddress_ : known;
    buildRequest(message_, fields);
    if (broadcast)
        sendBroadcastFrame();
    else
        sendUnicast();
}

void BootpTask::sendBootRequest()
{
    buildBootRequest(message_, nextXid());
    sendBroadcastFrame();
}

void BootpTask::sendBroadcastFrame()
{
    static const uint8_t everyone[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    uint8_t frame[kBootpFrameSize];
    buildBroadcastFrame(frame, message_, static_cast<uint16_t>((boardTicks() - secsBase_) / 100));
    Connection raw(this, iface_, -1);
    if (!raw.open(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP)) || !raw.bindPacket(raw.interfaceIndex(), everyone)) {
        fprintf(stderr, "Bootp: no packet socket on %s: %m\n", iface_->name());
        return;
    }
    if (raw.sendPacket(frame, sizeof frame, true) < 0)
        fprintf(stderr, "Bootp: sending on %s failed: %m\n", iface_->name());
}

void BootpTask::sendUnicast()
{
    if (!openUdpSocket() || !udp_ || !serverAddress_)
        return;
    message_[kBootpFlags] = 0;
    message_[kBootpFlags + 1] = 0;
    const uint16_t secs = htons(static_cast<uint16_t>((boardTicks() - secsBase_) / 100));
    memcpy(message_ + kBootpSecs, &secs, sizeof secs);
    udp_->peer = ipv4(serverAddress_);
    udp_->peer.in4.sin_port = htons(kBootpServerPort);
    udp_->sendAll(message_, kBootpMessageSize, true);
}

void BootpTask::dhcpStep()
{
    int type;
    switch (state_.load()) {
    case DhcpState::InitReboot:
        sendRequest(true, false);
        startWait(kReplyWaitTicks);
        state_ = DhcpState::Rebooting;
        break;
    case DhcpState::Rebooting:
        type = awaitReply(waitDeadline_);
        if (type == kDhcpAck) {
            takeAck("dhcp");
        } else if (type == kDhcpNak || (type < 0 && !restart_.load())) {
            resetToZeroConf();
            state_ = DhcpState::Init;
        }
        break;
    case DhcpState::Init:
        sendDiscover();
        startWait(kReplyWaitTicks);
        state_ = DhcpState::Selecting;
        break;
    case DhcpState::Selecting:
        type = awaitReply(waitDeadline_);
        if (type == kDhcpOffer) {
            // Only the address and the server are taken from an offer; the
            // rest of the configuration waits for the acknowledgement.
            if (reply_.yiaddr)
                offeredAddress_ = reply_.yiaddr;
            serverAddress_ = reply_.serverAddress;
            sendRequest(true, true);
            startWait(kReplyWaitTicks);
            state_ = DhcpState::Requesting;
        } else if (type < 0) {
            state_ = DhcpState::Stopped;
        }
        break;
    case DhcpState::Requesting:
        type = awaitReply(waitDeadline_);
        if (type == kDhcpAck)
            takeAck("dhcp");
        else if (type == kDhcpNak || type < 0)
            state_ = DhcpState::Init;
        break;
    case DhcpState::Bound:
        waitUntilRenewal();
        if (restart_.load())
            break;
        secsBase_ = boardTicks();
        sendRequest(false, false);
        // A lease without end is asked about once; it stays whatever the answer.
        waitDeadline_ = lease_.lease ? dhcpLeaseDeadline(dhcpLeaseStartTick(), lease_.t2, boardTicks())
                                     : boardTicks() + kReplyWaitTicks;
        state_ = DhcpState::Renewing;
        break;
    case DhcpState::Renewing:
    case DhcpState::Rebinding:
        leaseStep();
        break;
    case DhcpState::Stopped:
        break;
    }
    if (restart_.exchange(false))
        state_ = DhcpState::Init;
    sched_yield();
}

// Until T1 of the lease, or a message that ends the wait (a network change
// renews at once). A lease without renewal time waits for messages only.
void BootpTask::waitUntilRenewal()
{
    if (!lease_.t1) {
        waitFor(-1, -1);
        return;
    }
    const uint64_t now = boardTicks();
    waitFor(static_cast<int64_t>(dhcpLeaseDeadline(dhcpLeaseStartTick(), lease_.t1, now) - now), -1);
}

// Renewing and rebinding: an address set meanwhile by someone else ends
// the lease's care; a lease that runs out or is refused falls back.
void BootpTask::leaseStep()
{
    if (params::ip_addr()->address().ipv4Value() != offeredAddress_) {
        state_ = DhcpState::Stopped;
        return;
    }
    const int type = awaitReply(waitDeadline_);
    if (type == kDhcpAck) {
        takeAck("dhcp");
    } else if (type == kDhcpNak) {
        resetToZeroConf();
        state_ = DhcpState::Init;
    } else if (type < 0 && restart_.load()) {
        return;
    } else if (type < 0 && !lease_.lease) {
        state_ = DhcpState::Bound;
    } else if (type < 0 && state_.load() == DhcpState::Renewing) {
        sendRequest(true, false);
        waitDeadline_ = dhcpLeaseDeadline(dhcpLeaseStartTick(), lease_.lease, boardTicks());
        state_ = DhcpState::Rebinding;
    } else if (type < 0) {
        resetToZeroConf();
        state_ = DhcpState::Init;
    }
}

void BootpTask::takeAck(const char* source)
{
    applyLease(source);
    recordDhcpLeaseStart(boardTicks());
    state_ = DhcpState::Bound;
}

void BootpTask::applyOptions()
{
    if (reply_.hasDns) {
        params::dns_primary()->setAddress(ipv4(reply_.dnsPrimary));
        params::dns_secondary()->setAddress(ipv4(reply_.dnsSecondary));
    }
    if (reply_.hasHostName)
        params::sys_name()->set(reply_.hostName, -1);
    if (reply_.hasDomain)
        params::dns_domain()->set(reply_.domain, -1);
    if (reply_.ntpServer)
        params::ntp_server()->set(ipv4(reply_.ntpServer).text(), -1);
    if (reply_.hasLease)
        recordDhcpLeaseTime(static_cast<int>(reply_.lease));
}

void BootpTask::applyLease(const char* source)
{
    lease_ = reply_;
    if (reply_.yiaddr)
        offeredAddress_ = reply_.yiaddr;
    if (reply_.serverAddress)
        serverAddress_ = reply_.serverAddress;
    applyOptions();
    const SockAddr address = ipv4(offeredAddress_);
    params::ip_bootp_addr()->setAddress(address);
    address.applyAsAddress(*iface_, source, true);
    if (reply_.netmask)
        ipv4(reply_.netmask).applyAsNetmask(*iface_, true);
    if (reply_.router)
        ipv4(reply_.router).applyAsGateway(*iface_, true);
    else
        params::ip_gate()->address().applyAsGateway(*iface_, true);
    saveAndAnnounce();
}

void BootpTask::resetToZeroConf()
{
    recordDhcpLeaseStart(0);
    if (!addressCameFromServer())
        return;
    params::ip_bootp_addr()->setAddress(ipv4(0));
    SockAddr zeroconf = params::ip_addr()->address();
    zeroconf.makeZeroconf(*iface_);
    zeroconf.applyAsAddress(*iface_, "zconf", true);
    iface_->routeLinkLocal();
    fprintf(stderr, "### DHCP RESET ZeroConf IP:%s and linklocal configuration ###\n", zeroconf.text());
    saveParamsIfDirty();
}
