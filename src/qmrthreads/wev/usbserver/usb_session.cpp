#include "usbserver/usb_session.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "core/board/board_device.h"
#include "core/net/connection.h"
#include "core/product/model_features.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "core/task/tick_clock.h"
#include "platform/usbfs/usbfs.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_dispatch.h"
#include "usbserver/usb_protocol.h"
#include "usbserver/usb_publish.h"
#include "usbserver/usb_port_power.h"
#include "usbserver/usb_session_io.h"
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
// Products whose activity LED blinks with every event of a session.
constexpr uint32_t kBlinkingProducts[] = {353, 365};

std::atomic<int> sliceMs{kDefaultSliceMs};
std::atomic<const UsbTlsOps*> tlsOps{nullptr};
std::atomic<UsbPortPowerOff> powerOff{nullptr};
std::atomic<int> powerOffRequests{0};

std::mutex tlsInfoMutex;
char tlsInfoText[kUsbTlsInfoSize];

// Records destroyed on this thread whose memory waits for the end of the
// current batch of events.
thread_local UsbPollRecord* destroyedRecords = nullptr;
// Records with events whose handlers wait for the end of the batch, in the
// order the events came.
thread_local UsbPollRecord* readyHead = nullptr;
thread_local UsbPollRecord* readyTail = nullptr;

bool blinksOnEvents()
{
    const uint32_t product = productInfo().product_id;
    for (uint32_t p : kBlinkingProducts) {
        if (p == product)
            return true;
    }
    return false;
}

int sessionTaskId(const UsbPollRecord* session)
{
    return session && session->ownerTask ? session->ownerTask->taskId() : 0;
}

// The rows whose owner is this session (ownerTaskId is the session's task).
bool ownsRow(const UsbPollRecord* session, int row)
{
    const int id = sessionTaskId(session);
    return id > 0 && usbDeviceTable[row].ownerTaskId.load() == id;
}

// Takes the row's poll record out of the row (under the row lock) and
// destroys it.
void destroyRowRecord(int row)
{
    UsbPollRecord* record = nullptr;
    {
        UsbRowLock lock(row);
        record = usbDeviceTable[row].pollRecord;
        usbDeviceTable[row].pollRecord = nullptr;
    }
    UsbPollRecord::destroy(&record);
}

int resetDevice(int fd)
{
    return usbfs().ioctl(fd, USBDEVFS_RESET, nullptr);
}

int queueNotice(UsbPollRecord* session, uint32_t opcode, int row, int port)
{
    if (session->noticeCount >= kUsbNoticeQueueSize) {
        ++session->droppedNotices;
        fprintf(stderr, "usb session: notice %u for row %d dropped, %d waiting\n", opcode, row,
                session->noticeCount);
        return -1;
    }
    session->notices[session->noticeCount++] = {static_cast<uint8_t>(opcode), static_cast<uint8_t>(row),
                                                static_cast<uint8_t>(port)};
    return 0;
}

// The owner's side of a drop: the device vanished or another session takes
// it. Everything of the row goes; the client gets the answers of its open
// transfers and then notice 17, before the row is given up, so that a
// session taking the row over answers its own client only after that.
int dropOwnedRow(UsbPollRecord* session, int row)
{
    const int port = usbDeviceTable[row].port;
    destroyRowRecord(row);
    usbDeviceTable[row].closeDevice();
    // With the descriptor closed the kernel holds none of the row's URBs.
    int result = abortRowTransfers(session, row);
    queueNotice(session, kUsbOpNoticeVanished, row, port);
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
    destroyRowRecord(row);
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
    destroyRowRecord(row);
    const int fd = slot.fd.load();
    if (fd >= 0) {
        resetDevice(fd);
        slot.closeDevice();
    }
    return abortRowTransfers(session, row);
}

} // namespace

// --- poll records

UsbPollRecord* UsbPollRecord::create(int fd, int row)
{
    auto* record = new (std::nothrow) UsbPollRecord;
    if (!record)
        return nullptr;
    record->fd = fd;
    record->row = row;
    record->source = EventSource{record, dispatchPollEvent, fd};
    return record;
}

int UsbPollRecord::attach(UsbPollRecord* socketRecord, UsbPollRecord* record)
{
    if (!socketRecord || !record || !socketRecord->ownerTask || record->fd < 0)
        return -1;
    record->ownerTask = socketRecord->ownerTask;
    record->session = socketRecord;
    record->eventMask = 0;
    if (record->ownerTask->addEventSource(&record->source, 0) != 0)
        return -1;
    record->registered = true;
    return 0;
}

int UsbPollRecord::watchInput()
{
    if (!registered)
        return -1;
    eventMask |= EPOLLIN | EPOLLHUP;
    return ownerTask->modifyEventSource(&source, eventMask) == 0 ? 0 : -1;
}

int UsbPollRecord::watchOutput()
{
    if (!registered)
        return -1;
    eventMask |= EPOLLOUT | EPOLLHUP;
    return ownerTask->modifyEventSource(&source, eventMask) == 0 ? 0 : -1;
}

int UsbPollRecord::wait(int ms)
{
    if (!ownerTask)
        return -1;
    int n = ownerTask->pollEvents(ms);
    wakeTick = boardTicks();
    runReadyRecords();
    collectDestroyed();
    if (errorMark < 0)
        return errorMark;
    return n;
}

void UsbPollRecord::destroy(UsbPollRecord** record)
{
    if (!record || !*record)
        return;
    UsbPollRecord* r = *record;
    *record = nullptr;
    if (r->registered && r->ownerTask)
        r->ownerTask->removeEventSource(r->fd);
    r->registered = false;
    // A batch of events being handled may still name this record: it stays
    // readable, and is skipped, until the batch is over.
    r->source.owner = nullptr;
    r->source.callback = nullptr;
    r->handler = nullptr;
    r->nextDestroyed = destroyedRecords;
    destroyedRecords = r;
}

void UsbPollRecord::collectDestroyed()
{
    // A destroyed record may still wait on the ready list when the thread is
    // stopped in the middle of a wait.
    UsbPollRecord** link = &readyHead;
    readyTail = nullptr;
    while (*link) {
        if (!(*link)->handler) {
            (*link)->ready = false;
            *link = (*link)->nextReady;
            continue;
        }
        readyTail = *link;
        link = &(*link)->nextReady;
    }
    while (destroyedRecords) {
        UsbPollRecord* r = destroyedRecords;
        destroyedRecords = r->nextDestroyed;
        delete r;
    }
}

int dispatchPollEvent(EventSource* source, uint32_t events)
{
    auto* record = static_cast<UsbPollRecord*>(source->owner);
    if (!record)
        return 0;
    record->lastEvents = events;
    if (blinksOnEvents())
        boardDevice().blinkFast();
    if (!record->ready) {
        record->ready = true;
        record->nextReady = nullptr;
        if (readyTail)
            readyTail->nextReady = record;
        else
            readyHead = record;
        readyTail = record;
    }
    return 0;
}

void runReadyRecords()
{
    while (readyHead) {
        UsbPollRecord* record = readyHead;
        readyHead = record->nextReady;
        if (!readyHead)
            readyTail = nullptr;
        record->ready = false;
        record->nextReady = nullptr;
        // A record destroyed by an earlier handler has no handler any more;
        // its memory stays until collectDestroyed.
        if (!record->handler)
            continue;
        if (record->handler(record) < 0) {
            record->errorMark = -1;
            if (record->session)
                record->session->errorMark = -1;
        }
    }
}

// --- the connection

bool isTlsSession(const UsbPollRecord* record)
{
    const UsbTlsOps* ops = usbTlsOps();
    return record && record->connection && ops && ops->hasSession && ops->hasSession(record->connection);
}

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

// --- notices and requests from other threads

int postUsbNotice(int taskId, uint32_t opcode, int row, int port)
{
    if (taskId <= 0)
        return -1;
    TaskMessage msg{0, MSG_USB_NOTICE, static_cast<int32_t>(opcode), (row & 0xff) | (port & 0xff) << 8};
    return postToTaskId(taskId, &msg) == 0 ? 0 : -1;
}

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
    usbSessionRuns.fetch_add(1);
    session->counted = true;
    uint64_t now = boardTicks();
    session->activityTick = static_cast<uint32_t>(now);
    uint64_t quietSince = now;
    uint64_t nextDeferred = now;

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

// --- seams

void storeTlsInfo(UsbPollRecord* session)
{
    session->tlsInfoDone = 1;
    const UsbTlsOps* ops = usbTlsOps();
    char text[kUsbTlsInfoSize] = {};
    if (!ops || !ops->describe || !ops->describe(session->connection, text, sizeof text))
        return;
    std::lock_guard<std::mutex> lock(tlsInfoMutex);
    memcpy(tlsInfoText, text, sizeof tlsInfoText);
    tlsInfoText[sizeof tlsInfoText - 1] = 0;
}

void setUsbTlsOps(const UsbTlsOps* ops)
{
    tlsOps.store(ops);
}

const UsbTlsOps* usbTlsOps()
{
    return tlsOps.load();
}

int usbTlsInfo(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return 0;
    std::lock_guard<std::mutex> lock(tlsInfoMutex);
    return snprintf(buffer, size, "%s", tlsInfoText);
}

void setUsbPortPowerOff(UsbPortPowerOff op)
{
    powerOff.store(op);
}

void usbPortPowerOff(int portIndex, int ticks)
{
    powerOffRequests.fetch_add(1);
    if (UsbPortPowerOff op = powerOff.load())
        op(portIndex, ticks);
    else
        powerOffPort(portIndex, ticks);
}

int usbPortPowerOffRequests()
{
    return powerOffRequests.load();
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
        queueNotice(record_, static_cast<uint32_t>(msg->arg1), msg->arg2 & 0xff, (msg->arg2 >> 8) & 0xff);
    return 0;
}
