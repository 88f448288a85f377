#include "services/mdns/bonjour_task.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>

#include "core/net/connection.h"
#include "core/params/param_handles.h"
#include "core/task/tick_clock.h"
#include "core/util/byte_buffer.h"

namespace {

std::atomic<int> runningId{-1};

constexpr int kStackSize = 20480;
constexpr int kMulticastTtl = 255;
constexpr int kLegacyTtl = 64;

SockAddr mdnsGroup()
{
    SockAddr a;
    a.setIpv4Bytes(224, 0, 0, 251);
    return a;
}

const SockAddr kGroup = mdnsGroup();

} // namespace

int bonjourTaskId()
{
    return runningId.load();
}

BonjourTask::BonjourTask(NetInterface* iface)
    : UdpServiceTask("Bonjour", kMdnsPort, &kGroup, nullptr), responder(this), iface_(iface)
{
}

BonjourTask::~BonjourTask()
{
    leave();
}

void BonjourTask::leave()
{
    if (!owner_)
        return;
    owner_ = false;
    responder.sayGoodbye();
    runningId.store(-1);
}

void BonjourTask::exit()
{
    leave();
    UdpServiceTask::exit();
}

// The A record carries the address of the place the message goes out on,
// so clients on a VLAN get the box's address on their own subnet.
uint32_t BonjourTask::answerAddress(Connection* via) const
{
    SockAddr local;
    if (via && via->localAddress(&local) && local.isIpv4() && local.isSet())
        return local.ipv4Value();
    return params::ip_addr()->address().ipv4Value();
}

int BonjourTask::sendMessage(BonjourResponder& r, int kind, const MdnsQuery* legacy)
{
    if (replyFrom_)
        return replyFrom_->fd >= 0 ? sendFrom(replyFrom_, r, kind, legacy) : 0;
    const BonjourResponder::RowBits bits = r.rowBits();
    int sent = 0;
    for (int i = 0; i < entryCount && i < kMaxEntries; ++i) {
        Connection* via = entries[i].unicast;
        if (!via || via->fd < 0)
            continue;
        r.setRowBits(bits);
        sent |= sendFrom(via, r, kind, nullptr);
    }
    return sent;
}

int BonjourTask::sendFrom(Connection* via, BonjourResponder& r, int kind, const MdnsQuery* legacy)
{
    MdnsWriter& w = r.writer();
    const int last = w.build(kind, r.names(answerAddress(via)));
    if (last < 0)
        return 0;
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    if (legacy) {
        dest = sender_.in4;
    } else {
        dest.sin_addr.s_addr = kGroup.ipv4Value();
        dest.sin_port = htons(kMdnsPort);
    }
    via->setMulticastTtl(legacy ? kLegacyTtl : kMulticastTtl);
    // The responder's own messages are not read back as another host's.
    via->disableMulticastLoop();
    const uint16_t flags = MdnsWriter::flagsFor(kind, legacy ? legacy->flags : 0);
    for (int i = 0; i <= last; ++i) {
        uint8_t head[kDnsHeaderSize];
        w.header(i, last, legacy ? legacy->id : 0, flags, head);
        iovec pieces[2] = {{head, sizeof head}, {w.buffer(i).data, static_cast<size_t>(w.buffer(i).length)}};
        msghdr m{};
        m.msg_name = &dest;
        m.msg_namelen = sizeof dest;
        m.msg_iov = pieces;
        m.msg_iovlen = 2;
        if (sendmsg(via->fd, &m, MSG_NOSIGNAL) < 0)
            return 0;
    }
    return 1;
}

void BonjourTask::run()
{
    int none = -1;
    // Claimed in one step: of two responders started at once, one runs.
    if (!runningId.compare_exchange_strong(none, taskId()))
        exit();
    owner_ = true;
    responder.startRun(boardTicks());
    if (!openSockets(iface_, true))
        exit();
    ByteBuffer buffer;
    for (;;) {
        responder.probeStep(boardTicks());
        Connection* on = nullptr;
        Connection* from = nullptr;
        const int n = receive(&buffer, responder.waitTicks(boardTicks()), &on, &from);
        if (rebuilt) {
            rebuilt = 0;
            if (!params::bonjour()->isOn())
                exit();
            responder.buildInstanceName();
        }
        if (n <= 0 || !on) {
            responder.onIdle(boardTicks());
            continue;
        }
        replyFrom_ = from;
        sender_ = on->peer;
        responder.handleMessage(static_cast<const uint8_t*>(buffer.memory), n, ntohs(on->peer.in4.sin_port), boardTicks());
        replyFrom_ = nullptr;
        sched_yield();
    }
}

int startBonjourTask(NetInterface* iface)
{
    if (runningId.load() != -1 || !params::bonjour()->isOn())
        return -1;
    BonjourTask* task = new BonjourTask(iface);
    task->responder.resetState(true);
    const int id = task->start(kStackSize, 0);
    if (id < 0)
        delete task;
    return id;
}
