#include "usbserver/usb_server_task.h"

#include <sys/epoll.h>

#include <cstring>
#include <new>

#include "core/board/board_device.h"
#include "core/net/connection.h"
#include "core/params/param.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/product/product_info.h"
#include "core/task/tick_clock.h"
#include "usbserver/usb_connect.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_scan.h"
#include "usbserver/usb_session.h"
#include "usbserver/usb_session_tls.h"
#include "usbserver/usb_status_publish.h"

namespace {

constexpr int kBoardWaitTicks = 25;
constexpr uint64_t kScanTicks = 100;
constexpr int kMaxWaitMs = 1000;
constexpr int kMinWaitMs = 10;
constexpr int kStackSize = 20480;

int portsPhy()
{
    return static_cast<int>(productInfo().usb_ports_phy);
}

// The status parameters of rows this model does not have (`usb_*_<n>` with
// n above usbRowCount) are hidden from pages, the MIB and the file.
void hideUnusedRowParams()
{
    const int rows = usbRowCount.load();
    Param** table = ParamStore::catalogue();
    for (int i = 0; i < paramTableCount; ++i) {
        Param* p = table[i];
        if (!p || !p->hasFlags(kParamPerDevice))
            continue;
        int length = static_cast<int>(strlen(p->name()));
        int32_t number = paramNameIndex(p->name(), &length);
        if (number != static_cast<int32_t>(0x80000000u) && number > rows)
            p->addFlags(kParamHidden);
    }
}

} // namespace

int usbClientLimit()
{
    return 2 * portsPhy();
}

UsbSrvd::UsbSrvd(UsbRecordHandler sessionHandler, NetInterface* iface)
    : Task("UsbSrvd"), sessionHandler_(sessionHandler), iface_(iface)
{
    for (auto& slot : sources_) {
        for (EventSource& s : slot)
            s = EventSource{};
    }
    configureUsbTable(productInfo().usbtable_product_id);
    prepareUsbFs();
    hideUnusedRowParams();
    clearPortUsageCounters();
    usbUrbPopulation.store(0);
}

UsbSrvd::~UsbSrvd()
{
    closeListeners();
    // Rows still held by a session are that session's to give back.
    for (int row = 0; row < kUsbTableRows; ++row) {
        UsbDeviceSlot& slot = usbDeviceTable[row];
        if (slot.state.load() != kUsbSlotFree && slot.ownerTaskId.load() == 0 && slot.fd.load() < 0)
            slot.reset();
    }
}

uint32_t UsbSrvd::onMessage(TaskMessage* msg)
{
    if (msg->code & MSG_NETWORK_CHANGED)
        restart_.store(1);
    return msg->code & ~MSG_NETWORK_CHANGED;
}

Connection* UsbSrvd::listener(int slot, bool tls) const
{
    if (slot < 0 || slot >= kUsbListenerSlots)
        return nullptr;
    return listeners_[slot][tls ? 1 : 0];
}

int UsbSrvd::openListeners()
{
    slotCount_ = portsPhy() + 2;
    if (slotCount_ > kUsbListenerSlots)
        slotCount_ = kUsbListenerSlots;
    const int ports[2] = {params::zyt_port()->value(), usbTlsOps() ? params::zyt_sslport()->value() : 0};
    int opened = 0;
    for (int slot = 0; slot < slotCount_; ++slot) {
        for (int kind = 0; kind < 2; ++kind) {
            if (ports[kind] <= 0 || listeners_[slot][kind])
                continue;
            Connection* c = createTcpServer(this, ports[kind], iface_, slot);
            if (!c)
                continue;
            sources_[slot][kind] = EventSource{this, onListenerEvent, c->fd};
            if (addEventSource(&sources_[slot][kind], EPOLLIN) != 0) {
                sources_[slot][kind] = EventSource{};
                c->closeSession();
                continue;
            }
            listeners_[slot][kind] = c;
            ++opened;
        }
    }
    return opened;
}

void UsbSrvd::closeListeners()
{
    for (int slot = 0; slot < kUsbListenerSlots; ++slot) {
        for (int kind = 0; kind < 2; ++kind) {
            Connection* c = listeners_[slot][kind];
            if (!c)
                continue;
            removeEventSource(c->fd);
            sources_[slot][kind] = EventSource{};
            listeners_[slot][kind] = nullptr;
            c->closeSession();
        }
    }
}

int UsbSrvd::acceptClient(int fd)
{
    Connection* listener = nullptr;
    bool tls = false;
    for (int slot = 0; slot < slotCount_ && !listener; ++slot) {
        for (int kind = 0; kind < 2 && !listener; ++kind) {
            if (listeners_[slot][kind] && listeners_[slot][kind]->fd == fd) {
                listener = listeners_[slot][kind];
                tls = kind == 1;
            }
        }
    }
    if (!listener)
        return 0;
    Connection* c = acceptReady(listener);
    if (!c)
        return 0;
    if (usbLiveClients.load() > usbClientLimit()) {
        c->closeSession();
        return 0;
    }
    set_nagleon(c->fd);
    const int maxseg = params::tcp_maxseg()->value();
    if (maxseg > 0)
        set_maxseg(c->fd, maxseg);
    auto* session = new (std::nothrow) UsbSrvdPrcs(sessionHandler_, c, tls);
    if (!session) {
        c->closeSession();
        return 0;
    }
    if (session->start(kStackSize, 0) < 0) {
        delete session;
        return 0;
    }
    return 1;
}

int UsbSrvd::onListenerEvent(EventSource* source, uint32_t)
{
    auto* self = static_cast<UsbSrvd*>(source->owner);
    if (self)
        self->acceptClient(source->fd);
    return 0;
}

void UsbSrvd::clearUnownedResets()
{
    // A reset asked for a row that no session holds has no descriptor to act
    // on; the rows that a session holds are reset by that session.
    for (int row = 0; row < kUsbTableRows; ++row) {
        UsbDeviceSlot& slot = usbDeviceTable[row];
        if (slot.ownerTaskId.load() != 0 || !slot.resetPending.load())
            continue;
        // Under the row's lock: a session taking the row meanwhile keeps
        // what it asks for.
        UsbRowLock lock(row);
        if (lock.locked() && slot.ownerTaskId.load() == 0)
            slot.resetPending.store(0);
    }
}

void UsbSrvd::periodicWork()
{
    const uint64_t now = boardTicks();
    if (now - lastScan_ > kScanTicks) {
        lastScan_ = now;
        rescanUsbDevices();
        clearUnownedResets();
    }
    if (restart_.exchange(0)) {
        closeListeners();
        openListeners();
    }
}

void UsbSrvd::waitForBoard()
{
    while (!boardDevice().started())
        waitFor(kBoardWaitTicks, -1);
}

void UsbSrvd::run()
{
    waitForBoard();
    openListeners();
    restart_.store(0);
    for (;;) {
        // Woken for the next scan at the latest, so that devices come and go
        // within a second.
        const uint64_t now = boardTicks();
        const uint64_t due = lastScan_ + kScanTicks + 1;
        int64_t ms = due > now ? static_cast<int64_t>(due - now) * 10 : 0;
        if (ms < kMinWaitMs)
            ms = kMinWaitMs;
        if (ms > kMaxWaitMs)
            ms = kMaxWaitMs;
        pollEvents(static_cast<int>(ms));
        periodicWork();
    }
}

int startUsbServer(NetInterface* iface)
{
    // The device operations (connect, transfers, ...) answer their opcodes
    // from now on instead of the dispatcher's stand-ins.
    installUsbDeviceHandlers();
    auto* task = new (std::nothrow) UsbSrvd(usb_srv_thread, iface);
    if (!task)
        return -1;
    int id = task->start(kStackSize, 0);
    if (id < 0)
        delete task;
    return id;
}
