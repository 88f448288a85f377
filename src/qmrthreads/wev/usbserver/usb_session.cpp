#include "usbserver/usb_session.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "core/net/connection.h"
#include "core/params/param_handles.h"
#include "core/product/model_features.h"
#include "core/task/tick_clock.h"
#include "platform/usbfs/usbfs.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_dispatch.h"
#include "usbserver/usb_notice.h"
#include "usbserver/usb_port_power.h"
#include "usbserver/usb_protocol.h"
#include "usbserver/usb_publish.h"
#include "usbserver/usb_session_io.h"
#include "usbserver/usb_session_tls.h"
#include "usbserver/usb_urb.h"

std::atomic<int> usbSessionRuns{0};
std::atomic<int> usbLiveClients{0};

namespace {

// A session is given up as silent only after this much time without any
// event on its socket or devices, whatever `zyt_heartbeat` says.
constexpr uint64_t kQuietTicks = 500;
// Deferred resets are looked at this often.
constexpr uint64_t kDeferredResetTicks = 100;
// A failed reset at the end of a session cycles the port's power this long.
constexpr int kResetPowerOffTicks = 100;
constexpr int kDefaultSliceMs = 1000;
// A connection whose first request is not done within the time a request
// body may take is closed: connections that never speak would otherwise hold
// every session place until the heartbeat gives them up.
constexpr uint64_t kFirstRequestTicks = kUsbBodyTimeoutMs / 10;

std::atomic<int> sliceMs{kDefaultSliceMs};

// The rows whose owner is this session (ownerTaskId is the session's task).
bool ownsRow(const UsbPollRecord* session, int row)
{
    const int id = sessionTaskId(session);
    return id > 0 && usbDeviceTable[row].ownerTaskId.load() == id;
}

int resetDevice(int fd)
{
    return usbfs().ioctl(fd, USBDEVFS_RESET, nullptr);
}

// The owner's side of a drop: the device vanished or another session takes
// it. Everything of the row goes; the client gets the answers of its open
// transfers and then notice 17, before the row is given up, so that a
// session taking the row over answers its own client only after that.
int dropOwnedRow(UsbPollRecord* session, int row)
{
    const int port = usbDeviceTable[row].port;
    destroyRowPollRecord(row);
    usbDeviceTable[row].closeDevice();
    // With the descriptor closed the kernel holds none of the row's URBs.
    int result = abortRowTransfers(session, row);
    queueUsbNotice(session, kUsbOpNoticeVanished, row, port);
    if (flushUsbNotices(session) < 0)
        result = -1;
    publishDisconnect(row);
    releaseSlotOwnership(row, session);
    return result < 0 ? -1 : 0;
}

void releaseRow(UsbPollRecord* session, int row)
{
    UsbDeviceSlot& slot = usbDeviceTable[row];
    const bool connected = slot.state.load() == kUsbSlotConnected;
    destroyRowPollRecord(row);
    const int fd = slot.fd.load();
    if (fd >= 0) {
        if (connected && resetDevice(fd) < 0 && hasFeaturePortSwitch() && slot.port >= 1)
            usbPortPowerOff(slot.port - 1, kResetPowerOffTicks);
        slot.closeDevice();
    }
    // The client is gone: its transfers are freed without answers.
    abortRowTransfers(nullptr, row);
    // Also for a row whose file a deferred reset closed, and for one the scan
    // found gone meanwhile: the client let it go either way.
    publishDisconnect(row);
    releaseSlotOwnership(row, session);
}

// The deferred reset of a row the session keeps: the client hears of its
// transfers that ended by it.
int resetOwnedRow(UsbPollRecord* session, int row)
{
    UsbDeviceSlot& slot = usbDeviceTable[row];
    destroyRowPollRecord(row);
    const int fd = slot.fd.load();
    if (fd >= 0) {
        resetDevice(fd);
        slot.closeDevice();
    }
    return abortRowTransfers(session, row);
}

} // namespace

// --- the connection

socklen_t getPeerAddress(const UsbPollRecord* record, sockaddr_storage* out, socklen_t size)
{
    if (!record || !record->connection || !out)
        return 0;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(record->connection->fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return 0;
    if (peer.ss_family == AF_INET6) {
        const auto* six = reinterpret_cast<const sockaddr_in6*>(&peer);
        if (IN6_IS_ADDR_V4MAPPED(&six->sin6_addr)) {
            sockaddr_in four{};
            four.sin_family = AF_INET;
            four.sin_port = six->sin6_port;
            memcpy(&four.sin_addr, &six->sin6_addr.s6_addr[12], 4);
            memset(&peer, 0, sizeof peer);
            memcpy(&peer, &four, sizeof four);
            length = sizeof four;
        } else {
            length = sizeof(sockaddr_in6);
        }
    } else if (peer.ss_family == AF_INET) {
        length = sizeof(sockaddr_in);
    } else {
        return 0;
    }
    if (size < length)
        return 0;
    memcpy(out, &peer, length);
    return length;
}

// --- requests from other threads

int serveSessionRequests(UsbPollRecord* session)
{
    for (int row = 0; row < kUsbTableRows; ++row) {
        if (!ownsRow(session, row))
            continue;
        uint32_t requests = takeOwnerRequests(row);
        if ((requests & kUsbOwnerDrop) && dropOwnedRow(session, row) < 0)
            return -1;
    }
    return flushUsbNotices(session);
}

int runDeferredResets(UsbPollRecord* session)
{
    int result = 0;
    for (int row = 0; row < kUsbTableRows; ++row) {
        if (!ownsRow(session, row) || !usbDeviceTable[row].resetPending.exchange(0))
            continue;
        if (usbDeviceTable[row].state.load() == kUsbSlotConnected && resetOwnedRow(session, row) < 0)
            result = -1;
    }
    return result;
}

void releaseConnectionPorts(UsbPollRecord* session)
{
    for (int row = 0; row < kUsbTableRows; ++row) {
        if (ownsRow(session, row))
            releaseRow(session, row);
    }
}

// --- the session

void setUsbSessionSliceMsForTest(int ms)
{
    sliceMs.store(ms > 0 ? ms : kDefaultSliceMs);
}

int usb_srv_thread(UsbPollRecord* session)
{
    const int heartbeat = params::zyt_heartbeat()->value();
    session->setHandler(dispatchUsbRequest);
    if (session->watchInput() != 0) {
        releaseConnectionPorts(session);
        return 0;
    }
    uint64_t now = boardTicks();
    session->activityTick = static_cast<uint32_t>(now);
    uint64_t quietSince = now;
    uint64_t nextDeferred = now;
    const uint64_t started = now;
    // Counted once its times are taken: whoever sees the count can rely on them.
    usbSessionRuns.fetch_add(1);
    session->counted = true;

    for (;;) {
        int r = session->wait(sliceMs.load());
        // The time the events came: a client answered in this wait may act
        // at once, and its quiet time starts before that answer.
        now = session->wakeTick;
        if (r < 0)
            break;
        if (r > 0)
            quietSince = now;
        if (serveSessionRequests(session) < 0)
            break;
        if (now >= nextDeferred) {
            nextDeferred = now + kDeferredResetTicks;
            if (runDeferredResets(session) < 0)
                break;
        }
        // Silence counts only after a whole quiet wait, so a client whose
        // devices keep completing transfers is never taken for gone.
        if (!session->servedRequest && now - started >= kFirstRequestTicks)
            break;
        if (r == 0 && heartbeat != 0 && now - quietSince >= kQuietTicks
            && static_cast<uint32_t>(now) - session->activityTick > static_cast<uint32_t>(heartbeat) * 100u)
            break;
    }

    releaseConnectionPorts(session);
    UsbPollRecord::collectDestroyed();
    session->counted = false;
    usbSessionRuns.fetch_sub(1);
    return 0;
}

// --- the task

UsbSrvdPrcs::UsbSrvdPrcs(UsbRecordHandler sessionHandler, Connection* connection, bool tls)
    : Task("UsbSrvdPrcs"), handler_(sessionHandler), connection_(connection), record_(nullptr), tls_(tls)
{
    usbLiveClients.fetch_add(1);
    if (!connection_)
        return;
    record_ = UsbPollRecord::create(connection_->fd, -1);
    if (!record_)
        return;
    record_->ownerTask = this;
    record_->session = record_;
    record_->connection = connection_;
    record_->tlsInfoDone = 1;
}

UsbSrvdPrcs::~UsbSrvdPrcs()
{
    finish();
    usbLiveClients.fetch_sub(1);
}

void UsbSrvdPrcs::run()
{
    // Without its record the session cannot wait on anything: the client is
    // let go at once.
    if (!connection_ || !record_ || !handler_) {
        finish();
        return;
    }
    // Waits on the connection serve this task's messages from now on.
    connection_->owner = this;
    // A peer that stops reading must end in a time-out, never block a write.
    connection_->setNonBlocking();
    if (tls_) {
        const UsbTlsOps* ops = usbTlsOps();
        if (!ops || !ops->serverHandshake || ops->serverHandshake(connection_) != 1) {
            finish();
            return;
        }
        record_->tlsInfoDone = 0;
    }
    if (UsbPollRecord::attach(record_, record_) != 0) {
        finish();
        return;
    }
    handler_(record_);
    finish();
}

// Also reached from the destructor when the thread was stopped in a wait:
// the client's rows are released on this thread in every case.
void UsbSrvdPrcs::finish()
{
    if (finished_)
        return;
    finished_ = true;
    if (record_) {
        releaseConnectionPorts(record_);
        if (record_->counted) {
            record_->counted = false;
            usbSessionRuns.fetch_sub(1);
        }
        record_->connection = nullptr;
        UsbPollRecord::destroy(&record_);
        UsbPollRecord::collectDestroyed();
    }
    if (connection_) {
        connection_->closeSession();
        connection_ = nullptr;
    }
}

uint32_t UsbSrvdPrcs::onMessage(TaskMessage* msg)
{
    // Noted only: the wait that served the message may be in the middle of a
    // request. A network change leaves established sessions alone, so no bit
    // is handed back to end that wait.
    if ((msg->code & MSG_USB_NOTICE) && record_)
        queueUsbNotice(record_, static_cast<uint32_t>(msg->arg1), msg->arg2 & 0xff, (msg->arg2 >> 8) & 0xff);
    return 0;
}
