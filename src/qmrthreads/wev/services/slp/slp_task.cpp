#include "services/slp/slp_task.h"

#include <sched.h>

#include <cstdio>

#include "core/net/connection.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/product_info.h"
#include "core/task/shutdown.h"
#include "core/util/byte_buffer.h"
#include "services/slp/slp_request.h"

namespace {

constexpr uint16_t kSlpPort = 427;
constexpr int64_t kReceiveTicks = 3000;
constexpr int kStackSize = 20480;
constexpr uint32_t kWlanNetworkType = 3;
// Room for the URL: the fixed text and the product record's texts.
constexpr int kReplyCapacity = 1024;

SockAddr ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    SockAddr s;
    s.setIpv4Bytes(a, b, c, d);
    return s;
}

const SockAddr kSlpGroup = ipv4(224, 0, 1, 22);
const SockAddr kAllHosts = ipv4(224, 0, 0, 1);

SockAddr fromWord(uint32_t word)
{
    SockAddr s;
    s.setIpv4(word);
    return s;
}

} // namespace

void buildSlpUrl(const char* localAddress, bool limited, char* out, size_t size)
{
    const ProductInfo& p = productInfo();
    const SoftwarePackageInfo& sw = softwarePackageInfo();
    snprintf(out, size,
             "%s//%s;x-vek-name=%s;x-vek-mode=prot;x-vek-ver=%d.%d.%d;x-vek-nettype=%s;x-vek-swid=%d;x-vek-product=%s%s",
             kSlpServiceType, localAddress, p.default_name, static_cast<int>(sw.version),
             static_cast<int>(sw.release), static_cast<int>(sw.subrelease),
             p.network_type == kWlanNetworkType ? "WLAN" : "ETHER", static_cast<int>(p.software_id), p.product_name,
             limited ? ";x-limited-access" : "");
}

SlpTask::SlpTask(NetInterface* iface) : UdpServiceTask("SLP", kSlpPort, &kSlpGroup, &kAllHosts), iface_(iface) {}

void SlpTask::applyAddress(const SlpRequest& req)
{
    if (!iface_)
        return;
    fromWord(req.address).applyAsAddress(*iface_, "slp", true);
    if (req.hasMask)
        fromWord(req.mask).applyAsNetmask(*iface_, true);
    if (req.hasGate)
        fromWord(req.gate).applyAsGateway(*iface_, true);
}

int SlpTask::handleServiceRequest(Connection* reply, uint8_t* msg, int length, const SockAddr& local)
{
    SlpRequest req;
    if (!parseSlpRequest(msg, length, &req))
        return 0;
    const SockAddr current = params::ip_addr()->address();
    const SlpDecision decision =
        decideSlpRequest(req, productInfo().default_name, current.ipv4Value(), current.isLinkLocal());
    if (decision == SlpDecision::NoReply)
        return 0;

    char url[kReplyCapacity];
    buildSlpUrl(local.text(), decision == SlpDecision::Limited, url, sizeof url);
    uint8_t out[kReplyCapacity + kSlpReplyFixed];
    const int n = writeSlpReply(msg, url, out, static_cast<int>(sizeof out));
    if (n <= 0)
        return 0;

    if (decision == SlpDecision::Apply) {
        applyAddress(req);
        if (saveParamsIfDirty() & kChangedRestart)
            startShutdownTask(1);
    }
    return reply->sendAll(out, n, true) == n ? 1 : 0;
}

void SlpTask::run()
{
    if (!openSockets(iface_, true))
        exit();
    ByteBuffer buffer;
    for (;;) {
        Connection* on = nullptr;
        Connection* from = nullptr;
        const int n = receive(&buffer, kReceiveTicks, &on, &from);
        rebuilt = 0;
        if (n < 0) {
            if (on)
                perror("SlpIN");
            continue;
        }
        if (!from || !isSlpServiceRequest(static_cast<uint8_t*>(buffer.memory), n))
            continue;
        SockAddr local;
        from->localAddress(&local);
        if (on != from)
            from->peer = on->peer;
        handleServiceRequest(from, static_cast<uint8_t*>(buffer.memory), n, local);
        sched_yield();
    }
}

int startSlpTask(NetInterface* iface)
{
    SlpTask* task = new SlpTask(iface);
    const int id = task->start(kStackSize, 0);
    if (id < 0)
        delete task;
    return id;
}
