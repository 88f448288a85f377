#include "usbserver/usb_poll_record.h"

#include <sys/epoll.h>

#include <new>

#include "core/board/board_device.h"
#include "core/product/product_info.h"
#include "core/task/tick_clock.h"
#include "usbserver/usb_device_table.h"

namespace {

// Products whose activity LED blinks with every event of a session.
constexpr uint32_t kBlinkingProducts[] = {353, 365};

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

} // namespace

UsbPollRecord::~UsbPollRecord()
{
    delete[] received;
}

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
    // The session's last wake-up stands for now: reading the board's clock
    // for every event would cost the request the flash is spared.
    const UsbPollRecord* session = record->session ? record->session : record;
    if (blinksOnEvents())
        boardDevice().blinkActivity(session->wakeTick);
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

int sessionTaskId(const UsbPollRecord* record)
{
    return record && record->ownerTask ? record->ownerTask->taskId() : 0;
}

void destroyRowPollRecord(int row)
{
    UsbPollRecord* record = nullptr;
    {
        UsbRowLock lock(row);
        record = usbDeviceTable[row].pollRecord;
        usbDeviceTable[row].pollRecord = nullptr;
    }
    UsbPollRecord::destroy(&record);
}
