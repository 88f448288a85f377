#include "usbserver/usb_urb.h"

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/usbfs/usbfs.h"
#include "usbserver/usb_control.h"
#include "usbserver/usb_dispatch.h"
#include "usbserver/usb_poll_record.h"
#include "usbserver/usb_session_io.h"
#include "usbserver/usb_urb_pool.h"

namespace {

std::atomic<int> setsPerRow[kUsbTableRows];

// Completions reaped per wake-up of the device file, so that one busy
// device cannot starve the session's socket.
constexpr int kReapBatch = 64;
constexpr int kWindowSliceMs = 1000;

bool inTable(int row)
{
    return row >= 0 && row < kUsbTableRows;
}

UrbSet* asSet(UrbListNode* node)
{
    return static_cast<UrbSet*>(node);
}

int negatedErrno()
{
    return errno ? -errno : -1;
}

void appendSet(int row, UrbSet* set)
{
    UrbListNode& head = usbDeviceTable[row].urbList;
    UsbRowLock lock(row);
    set->prev = head.prev;
    set->next = &head;
    head.prev->next = set;
    head.prev = set;
}

void unlinkSet(UrbSet* set)
{
    UsbRowLock lock(set->row);
    set->prev->next = set->next;
    set->next->prev = set->prev;
    set->next = set->prev = set;
}

void freeUrbBuffer(usbdevfs_urb& urb)
{
    giveUrbBuffer(urb.buffer, static_cast<uint32_t>(urb.buffer_length));
    urb.buffer = nullptr;
}

// An unlinked set goes back to the pool, with whatever buffers it holds.
void disposeSet(UrbSet* set)
{
    for (int k = 0; k < set->slotCount; ++k)
        freeUrbBuffer(set->urbs[k]);
    if (inTable(set->row))
        setsPerRow[set->row].fetch_sub(1);
    usbUrbPopulation.fetch_sub(1);
    giveUrbSet(set);
}

// A set that is answered and that the kernel no longer holds goes.
bool freeIfFinished(UrbSet* set)
{
    if (!(set->flags & kUrbSent) || set->inFlight > 0 || set->feeding)
        return false;
    unlinkSet(set);
    disposeSet(set);
    return true;
}

// A slot the kernel does not hold and whose data is not waiting to be sent.
int freeSlot(const UrbSet& set)
{
    for (int k = 0; k < set.slotCount; ++k) {
        if (!set.inKernel[k] && !set.urbs[k].buffer)
            return k;
    }
    return -1;
}

int rowFd(int row)
{
    return usbDeviceTable[row].fd.load();
}

void recordFailure(UrbSet& set, int status, uint32_t answer)
{
    if (set.flags & kUrbError)
        return;
    set.flags |= kUrbError;
    set.errorStatus = status;
    set.errorAnswer = answer;
}

// Hands URB number index of the set to the kernel in slot k; buffer is the
// URB's data (OUT) or null (an IN buffer is made here). 0, or the negated
// errno, which is then recorded in the set as its failure.
int submitSlot(int fd, UrbSet& set, int k, uint32_t index, void* buffer)
{
    usbdevfs_urb& urb = set.urbs[k];
    const int length = set.urbLength(index);
    memset(&urb, 0, sizeof urb);
    urb.type = set.type;
    urb.endpoint = set.endpoint;
    urb.usercontext = &set;
    urb.buffer_length = length;
    urb.buffer = buffer;
    if (length > 0 && !urb.buffer && set.isIn())
        urb.buffer = takeUrbBuffer(static_cast<uint32_t>(length));
    ++set.urbsSubmitted;
    int err = 0;
    if (length > 0 && !urb.buffer)
        err = -ENOMEM;
    else if (usbfs().ioctl(fd, USBDEVFS_SUBMITURB, &urb) != 0)
        err = negatedErrno();
    if (err == 0) {
        set.inKernel[k] = 1;
        ++set.inFlight;
        return 0;
    }
    freeUrbBuffer(urb);
    ++set.urbsDone;
    recordFailure(set, err, err == -ENODEV ? kUsbStatusGone : kUsbStatusFailed);
    if (err == -ENODEV)
        set.flags |= kUrbAborted;
    return err;
}

int sendAnswer(UsbPollRecord* session, UrbSet& set, bool final, uint32_t status, int32_t error, const void* data,
               uint32_t length)
{
    UsbReplyHeader reply;
    reply.word0 = set.requestWord0 & 0xff;
    reply.opcode = kUsbReplyOpcodeBase + (final ? kUsbOpTransfer : kUsbOpUrbIntermediate);
    memcpy(reply.tag, set.urbId, sizeof reply.tag);
    reply.length = data ? length : 0;
    reply.status = status;
    reply.error = status == kUsbStatusDone ? 0 : static_cast<uint32_t>(error);
    if (!session)
        return 0;
    return sendUsbReply(session, reply, data, reply.length);
}

int startInSet(UsbPollRecord* session, UrbSet& set);

// Set while a queue is being moved on, so that a queued set that fails to
// start (and is finished at once) does not move it again from inside.
thread_local bool advancing = false;

// The bulk IN sets queued on the endpoint start, in order, once none runs
// there; one that cannot start is answered with its failure at once.
int advanceQueue(UsbPollRecord* session, int row, uint8_t endpoint)
{
    if (advancing)
        return 0;
    advancing = true;
    int result = 0;
    while (!findUrbSetByEndpoint(row, endpoint, kUrbBusy)) {
        UrbSet* next = findUrbSetByEndpoint(row, endpoint, kUrbPrepared);
        if (!next)
            break;
        if (startInSet(session, *next) < 0)
            result = -1;
    }
    advancing = false;
    return result;
}

// The final answer: the set is sent, no longer busy, and the next queued
// bulk IN set of its endpoint may start.
int finishSet(UsbPollRecord* session, UrbSet& set, uint32_t status, int32_t error, const void* data,
              uint32_t length)
{
    const bool wasRunning = set.isBusy();
    set.flags = (set.flags & ~kUrbStateMask) | kUrbSent;
    int result = sendAnswer(session, set, true, status, error, data, length);
    if (wasRunning && set.type == kUrbTypeBulk && set.isIn()) {
        if (advanceQueue(session, set.row, set.endpoint) < 0)
            result = -1;
    }
    return result;
}

int finishWithFailure(UsbPollRecord* session, UrbSet& set)
{
    if (set.flags & kUrbError)
        return finishSet(session, set, set.errorAnswer, set.errorStatus, nullptr, 0);
    return finishSet(session, set, kUsbStatusGone, EPIPE, nullptr, 0);
}

int startInSet(UsbPollRecord* session, UrbSet& set)
{
    set.flags = (set.flags & ~kUrbStateMask) | kUrbBusy;
    int fd = rowFd(set.row);
    int err = fd < 0 ? -ENODEV : submitSlot(fd, set, 0, 0, nullptr);
    if (fd < 0)
        recordFailure(set, err, kUsbStatusGone);
    if (err == 0)
        return 0;
    UrbSet* s = &set;
    int result = finishWithFailure(session, set);
    freeIfFinished(s);
    return result;
}

// DISCARDURB of every URB the kernel holds for the set.
void discardInFlight(int row, UrbSet& set)
{
    const int fd = rowFd(row);
    for (int k = 0; k < set.slotCount && fd >= 0; ++k) {
        if (!set.inKernel[k])
            continue;
        if (usbfs().ioctl(fd, USBDEVFS_DISCARDURB, &set.urbs[k]) == 0)
            ++set.urbsDiscarded;
        else if (errno != EINVAL)
            set.flags |= kUrbAborted;
    }
}

int completeIn(UsbPollRecord* session, UrbSet& set, usbdevfs_urb& urb)
{
    const int status = urb.status;
    if (set.flags & kUrbSent) {
        freeUrbBuffer(urb);
        return 0;
    }
    if (status != 0 && set.type != kUrbTypeInterrupt) {
        freeUrbBuffer(urb);
        recordFailure(set, status, kUsbStatusFailed);
        return finishWithFailure(session, set);
    }
    int actual = urb.actual_length;
    if (actual < 0 || actual > urb.buffer_length)
        actual = actual < 0 ? 0 : urb.buffer_length;
    set.remaining -= actual;
    const bool full = actual == urb.buffer_length && actual > 0;
    int result = 0;
    if (full && !(set.flags & kUrbDiscarded) && set.urbsSubmitted < set.urbCount) {
        // The next URB goes to the device before this one's data goes to
        // the client: the two overlap.
        int k = freeSlot(set);
        int fd = rowFd(set.row);
        int err = -ENODEV;
        if (k >= 0 && fd >= 0)
            err = submitSlot(fd, set, k, set.urbsSubmitted, nullptr);
        else
            recordFailure(set, err, kUsbStatusGone);
        result = sendAnswer(session, set, false, kUsbStatusDone, 0, urb.buffer, static_cast<uint32_t>(actual));
        freeUrbBuffer(urb);
        if (err == 0 || result < 0)
            return result;
        // The data that came back is delivered above; the failure to go on
        // ends the transfer.
        return finishWithFailure(session, set);
    }
    result = finishSet(session, set, kUsbStatusDone, 0, urb.buffer, static_cast<uint32_t>(actual));
    freeUrbBuffer(urb);
    return result;
}

int completeOut(UsbPollRecord* session, UrbSet& set, usbdevfs_urb& urb)
{
    const int status = urb.status;
    freeUrbBuffer(urb);
    if (set.flags & kUrbSent)
        return 0;
    if (status != 0 && set.type != kUrbTypeInterrupt) {
        // The rest of the transfer must not reach the device after a gap.
        if (!(set.flags & kUrbError))
            discardInFlight(set.row, set);
        recordFailure(set, status, kUsbStatusFailed);
    } else {
        set.remaining -= urb.buffer_length;
    }
    if (set.inFlight > 0 || set.feeding)
        return 0;
    if (set.flags & (kUrbError | kUrbAborted))
        return finishWithFailure(session, set);
    if (set.urbsDone >= set.urbCount)
        return finishSet(session, set, kUsbStatusDone, 0, nullptr, 0);
    return 0;
}

// The set of the row that a reaped URB belongs to, and its slot.
UrbSet* setOfUrb(int row, const usbdevfs_urb* urb, int* slotIndex)
{
    UrbListNode& head = usbDeviceTable[row].urbList;
    for (UrbListNode* node = head.next; node != &head; node = node->next) {
        UrbSet* set = asSet(node);
        if (set != urb->usercontext || !set->urbs)
            continue;
        for (int k = 0; k < set->slotCount; ++k) {
            if (&set->urbs[k] == urb) {
                *slotIndex = k;
                return set;
            }
        }
        return nullptr;
    }
    return nullptr;
}

int completeUrb(UsbPollRecord* session, int row, usbdevfs_urb* urb)
{
    int k = -1;
    UrbSet* set = urb ? setOfUrb(row, urb, &k) : nullptr;
    if (!set || !set->inKernel[k]) {
        fprintf(stderr, "usb_srv_poll: row %d: URB %p is none of the row's\n", row, static_cast<void*>(urb));
        return -1;
    }
    set->inKernel[k] = 0;
    --set->inFlight;
    ++set->urbsDone;
    int result = set->isIn() ? completeIn(session, *set, *urb) : completeOut(session, *set, *urb);
    freeIfFinished(set);
    return result;
}

enum ReapResult { kReapOk = 0, kReapGone = 1, kReapFailed = -1 };

// Whether the kernel holds any URB of the row. Only the session thread
// changes the list, so it reads it without the lock.
bool rowHasUrbsInKernel(int row)
{
    UrbListNode& head = usbDeviceTable[row].urbList;
    for (UrbListNode* node = head.next; node != &head; node = node->next) {
        if (asSet(node)->inFlight > 0)
            return true;
    }
    return false;
}

// Reaps what is ready on the row's file (at most limit URBs). Once the
// kernel holds none of the row's URBs no reap is tried: it could only find
// nothing.
ReapResult reapReady(UsbPollRecord* session, int row, int limit)
{
    for (int n = 0; n < limit && rowHasUrbsInKernel(row); ++n) {
        const int fd = rowFd(row);
        if (fd < 0)
            return kReapGone;
        usbdevfs_urb* urb = nullptr;
        if (usbfs().ioctl(fd, USBDEVFS_REAPURBNDELAY, &urb) != 0) {
            const int error = errno;
            if (error == ENODEV) {
                // The owner's own drop: notice 17 and the release follow
                // between two requests.
                dropSlotOwner(row);
                return kReapGone;
            }
            if (error == EINTR)
                fprintf(stderr, "%s %d EINTR\n", "usb_srv_poll", 1741);
            return kReapOk;
        }
        if (completeUrb(session, row, urb) < 0)
            return kReapFailed;
    }
    return kReapOk;
}

// Reaps the row's URBs that are back already, when the back-end can tell
// so without a system call (the simulated host completes most URBs within
// their submit): their answers then leave without another wait of the
// session. -1 when the session cannot go on.
int reapAtHand(UsbPollRecord* session, int row)
{
    const int fd = rowFd(row);
    if (fd < 0 || !usbfs().readyNow(fd))
        return 0;
    return reapReady(session, row, kReapBatch) == kReapFailed ? -1 : 0;
}

// Waits until the kernel gives back a URB of the set (reaping, and
// answering, whatever else comes back meanwhile). 0 when the set got room or
// the time ran out (no free slot then), 1 when the device went, -1 when the
// session cannot go on: also when the client reset its connection, whose
// place must not stay taken for the whole stall.
int waitForRoom(UsbPollRecord* session, int row, UrbSet& set)
{
    const uint32_t doneBefore = set.urbsDone;
    for (int waited = 0; waited < kUrbOutStallMs; waited += kWindowSliceMs) {
        const int fd = rowFd(row);
        const int readiness = fd >= 0 ? usbfs().pollFd(fd) : -1;
        if (readiness < 0)
            return 1;
        pollfd p[2] = {{readiness, POLLOUT, 0}, {session->fd, 0, 0}};
        int r = poll(p, 2, kWindowSliceMs);
        if (r < 0 && errno != EINTR)
            return 1;
        if (r > 0 && (p[1].revents & (POLLHUP | POLLERR)))
            return -1;
        if (r > 0 && p[0].revents) {
            ReapResult reaped = reapReady(session, row, kReapBatch);
            if (reaped == kReapFailed)
                return -1;
            if (reaped == kReapGone)
                return 1;
            if (set.urbsDone != doneBefore || freeSlot(set) >= 0)
                return 0;
        }
    }
    return 0;
}

// Reads the OUT data of the set URB by URB and hands each to the kernel,
// at most kUrbOutWindow ahead of the device.
int feedOutSet(UsbPollRecord* session, int row, UrbSet& set)
{
    set.flags = (set.flags & ~kUrbStateMask) | kUrbBusy;
    set.feeding = true;
    uint64_t unread = set.length;
    int result = 0;
    for (uint32_t i = 0; i < set.urbCount; ++i) {
        if (set.flags & (kUrbError | kUrbAborted))
            break;
        int k = freeSlot(set);
        if (k < 0) {
            const int waited = waitForRoom(session, row, set);
            if (waited < 0) {
                result = -1;
                break;
            }
            if (waited > 0) {
                recordFailure(set, -ENODEV, kUsbStatusGone);
                set.flags |= kUrbAborted;
            }
            if (set.flags & (kUrbError | kUrbAborted))
                break;
            k = freeSlot(set);
            if (k < 0) {
                fprintf(stderr, "submitUrb: row %d endpoint 0x%02x took no data for %d ms\n", row, set.endpoint,
                        kUrbOutStallMs);
                discardInFlight(row, set);
                recordFailure(set, -ETIMEDOUT, kUsbStatusFailed);
                break;
            }
        }
        const int length = set.urbLength(i);
        void* buffer = length > 0 ? takeUrbBuffer(static_cast<uint32_t>(length)) : nullptr;
        if (length > 0 && !buffer) {
            recordFailure(set, -ENOMEM, kUsbStatusFailed);
            break;
        }
        if (length > 0 && !readUsbBody(session, buffer, static_cast<size_t>(length))) {
            // The stream position is lost: nothing half-read goes to the
            // device, and the session ends after this one answer.
            giveUrbBuffer(buffer, static_cast<uint32_t>(length));
            discardInFlight(row, set);
            set.feeding = false;
            UrbSet* s = &set;
            finishSet(session, set, kUsbStatusFailed, EPROTO, nullptr, 0);
            freeIfFinished(s);
            return -1;
        }
        unread -= static_cast<uint64_t>(length);
        const int fd = rowFd(row);
        if (fd < 0) {
            giveUrbBuffer(buffer, static_cast<uint32_t>(length));
            recordFailure(set, -ENODEV, kUsbStatusGone);
            break;
        }
        submitSlot(fd, set, k, i, buffer);
    }
    set.feeding = false;
    if (result == 0 && unread > 0 && !skipUsbBody(session, unread))
        result = -1;
    UrbSet* s = &set;
    if (!(set.flags & kUrbSent) && set.inFlight == 0) {
        int r = 0;
        if (set.flags & (kUrbError | kUrbAborted))
            r = finishWithFailure(session, set);
        else if (set.urbsDone >= set.urbCount)
            r = finishSet(session, set, kUsbStatusDone, 0, nullptr, 0);
        if (r < 0)
            result = -1;
    }
    freeIfFinished(s);
    return result;
}

// Answers a request that is not carried out, after reading every byte it
// announced.
int refuse(UsbPollRecord* session, const UsbRequestHeader* request, uint64_t unread, uint32_t status, uint32_t error)
{
    if (!skipUsbBody(session, unread))
        return -1;
    return sendUsbStatus(session, request, status, error);
}

uint32_t urbCountFor(uint32_t length, bool single)
{
    if (single || length == 0)
        return 1;
    return static_cast<uint32_t>((static_cast<uint64_t>(length) + kUrbMaxLength - 1) / kUrbMaxLength);
}

UrbSet* makeSet(int row, const UsbRequestHeader* request, const UsbTransferRequest& body, bool single)
{
    if (urbSetCount(row) >= kUrbSetsPerRow)
        return nullptr;
    const uint32_t length = (body.endpoint & 0x80) ? body.inLength : body.outLength;
    const uint32_t urbCount = urbCountFor(length, single);
    const uint32_t ahead = (body.endpoint & 0x80) ? 2 : kUrbOutWindow;
    const int slots = static_cast<int>(urbCount < ahead ? urbCount : ahead);
    UrbSet* set = takeUrbSet(slots);
    if (!set) {
        fprintf(stderr, "%s ERROR OUT OF MEM %d\n", "sUrb", static_cast<int>(sizeof(usbdevfs_urb)));
        return nullptr;
    }
    usbUrbPopulation.fetch_add(1);
    setsPerRow[row].fetch_add(1);
    set->row = row;
    set->endpoint = body.endpoint;
    set->type = body.type;
    set->requestWord0 = request->word0;
    memcpy(set->urbId, request->tag, sizeof set->urbId);
    set->length = length;
    set->remaining = length;
    set->urbCount = urbCount;
    return set;
}

constexpr int kAnyEndpoint = -1;

// The next set a discard takes, of endpoint (kAnyEndpoint: of any), that is
// neither answered nor discarded yet. Queued sets come first: while a
// running set of their endpoint is only discarded, not yet back, none of
// them starts. Called anew after every set handled, because answers may
// move a queue on and free other sets.
UrbSet* nextSetToDiscard(int row, int endpoint)
{
    UrbListNode& head = usbDeviceTable[row].urbList;
    for (int pass = 0; pass < 2; ++pass) {
        for (UrbListNode* node = head.next; node != &head; node = node->next) {
            UrbSet* set = asSet(node);
            if ((endpoint != kAnyEndpoint && set->endpoint != endpoint) || (set->flags & (kUrbSent | kUrbDiscarded))
                || set->isPrepared() != (pass == 0))
                continue;
            return set;
        }
    }
    return nullptr;
}

// Discards the set; one that ended by it (a queued set, or a running one
// whose URBs could not be discarded) is answered now, and freed once
// nothing of it is left in the kernel. -1 when the answer could not be sent.
int discardAndAnswer(UsbPollRecord* session, int row, UrbSet* set)
{
    discardUrbSet(row, set);
    int result = 0;
    if ((set->flags & kUrbAborted) && sendUrbResult(session, set, 0) < 0)
        result = -1;
    freeIfFinished(set);
    return result;
}

const char* const kStateWords[] = {"Prepared ", "Busy ", "Discarded ", "Sent ", "Error ", "Abort ", "Unknown "};

} // namespace

UrbSet::~UrbSet()
{
    free(urbs);
    free(inKernel);
}

void UrbSet::clear(int slots)
{
    next = prev = this;
    row = -1;
    endpoint = 0;
    type = 0;
    flags = 0;
    requestWord0 = 0;
    memset(urbId, 0, sizeof urbId);
    length = 0;
    remaining = 0;
    urbCount = 0;
    urbsSubmitted = 0;
    urbsDone = 0;
    urbsDiscarded = 0;
    inFlight = 0;
    feeding = false;
    errorStatus = 0;
    errorAnswer = 0;
    slotCount = slots;
    memset(urbs, 0, static_cast<size_t>(slots) * sizeof(usbdevfs_urb));
    memset(inKernel, 0, static_cast<size_t>(slots));
}

int UrbSet::urbLength(uint32_t index) const
{
    if (urbCount <= 1)
        return static_cast<int>(length);
    const uint64_t start = static_cast<uint64_t>(index) * kUrbMaxLength;
    if (start >= length)
        return 0;
    const uint64_t left = length - start;
    return static_cast<int>(left < kUrbMaxLength ? left : kUrbMaxLength);
}

int urbSetCount(int row)
{
    return inTable(row) ? setsPerRow[row].load() : 0;
}

UrbSet* findUrbSetByEndpoint(int row, int endpoint, uint32_t mask)
{
    if (!inTable(row))
        return nullptr;
    UrbListNode& head = usbDeviceTable[row].urbList;
    UsbRowLock lock(row);
    for (UrbListNode* node = head.next; node != &head; node = node->next) {
        UrbSet* set = asSet(node);
        if (endpoint >= 0 && set->endpoint != endpoint)
            continue;
        const uint32_t state = set->flags & kUrbStateMask;
        if (((mask & kUrbStateMask) && state == (mask & kUrbStateMask)) || (set->flags & mask & ~kUrbStateMask))
            return set;
    }
    return nullptr;
}

UrbSet* findUrbSetById(int row, const uint8_t id[4])
{
    if (!inTable(row))
        return nullptr;
    UrbListNode& head = usbDeviceTable[row].urbList;
    UsbRowLock lock(row);
    for (UrbListNode* node = head.next; node != &head; node = node->next) {
        UrbSet* set = asSet(node);
        if (memcmp(set->urbId, id, sizeof set->urbId) == 0 && !(set->flags & kUrbSent))
            return set;
    }
    return nullptr;
}

int discardUrbSet(int row, UrbSet* set)
{
    if (!set)
        return 1;
    if (set->flags & (kUrbSent | kUrbDiscarded))
        return set->inFlight == 0;
    if (set->isPrepared()) {
        set->flags |= kUrbDiscarded | kUrbAborted;
        set->urbsDiscarded = set->urbCount - set->urbsDone;
        return 1;
    }
    set->flags |= kUrbDiscarded;
    discardInFlight(row, *set);
    return set->inFlight == 0;
}

int sendUrbResult(UsbPollRecord* session, UrbSet* set, int index)
{
    if (!set || index < 0 || index >= set->slotCount)
        return -1;
    if (set->flags & kUrbSent)
        return 0;
    if (set->flags & kUrbAborted)
        return finishSet(session, *set, kUsbStatusGone, EPIPE, nullptr, 0);
    if (set->flags & kUrbError)
        return finishWithFailure(session, *set);
    usbdevfs_urb& urb = set->urbs[index];
    const uint32_t actual = set->isIn() && urb.buffer ? static_cast<uint32_t>(urb.actual_length) : 0;
    return finishSet(session, *set, kUsbStatusDone, 0, urb.buffer, actual);
}

int releaseUrbSet(UrbSet* set)
{
    if (!set)
        return 0;
    if (set->inFlight > 0)
        discardUrbSet(set->row, set);
    set->flags = (set->flags & ~kUrbStateMask) | kUrbSent;
    return freeIfFinished(set) ? 1 : 0;
}

int discardAllUrbSets(UsbPollRecord* session, int row)
{
    if (!inTable(row))
        return 0;
    int result = 0;
    while (UrbSet* set = nextSetToDiscard(row, kAnyEndpoint)) {
        if (discardAndAnswer(session, row, set) < 0)
            result = -1;
    }
    return result;
}

int abortRowTransfers(UsbPollRecord* session, int row)
{
    if (!inTable(row))
        return 0;
    const bool closed = rowFd(row) < 0;
    int result = 0;
    UrbListNode& head = usbDeviceTable[row].urbList;
    UrbListNode* node = head.next;
    while (node != &head) {
        UrbSet* set = asSet(node);
        node = node->next;
        if (closed) {
            // The kernel gave up every URB of the file when it was closed.
            for (int k = 0; k < set->slotCount; ++k)
                set->inKernel[k] = 0;
            set->inFlight = 0;
            set->feeding = false;
        }
        if (!(set->flags & kUrbSent)) {
            set->flags = (set->flags & ~kUrbStateMask) | kUrbAborted | kUrbSent;
            if (sendAnswer(session, *set, true, kUsbStatusGone, EPIPE, nullptr, 0) < 0) {
                result = -1;
                session = nullptr;
            }
        }
        if (set->inFlight == 0) {
            unlinkSet(set);
            disposeSet(set);
        }
    }
    return result;
}

const char* urbStateText(const UrbSet* set)
{
    static thread_local char texts[2][97];
    static thread_local int turn = 0;
    if (!set)
        return "Error!";
    char* text = texts[turn];
    turn ^= 1;
    text[0] = 0;
    uint32_t flags = set->flags;
    auto add = [text](const char* word) { strncat(text, word, 96 - strlen(text)); };
    if ((flags & kUrbStateMask) == kUrbPrepared)
        add(kStateWords[0]);
    else if ((flags & kUrbStateMask) == kUrbBusy)
        add(kStateWords[1]);
    else if (flags & kUrbStateMask)
        add(kStateWords[6]);
    const uint32_t bits[] = {kUrbDiscarded, kUrbSent, kUrbError, kUrbAborted};
    for (int i = 0; i < 4; ++i) {
        if (flags & bits[i])
            add(kStateWords[2 + i]);
    }
    if (flags & ~(kUrbStateMask | kUrbDiscarded | kUrbSent | kUrbError | kUrbAborted))
        add(kStateWords[6]);
    return text;
}

int submitUrb(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t raw[kUsbTransferBodySize];
    if (!readUsbBody(session, raw, sizeof raw)) {
        // The stream is out of step from here: answer, then end.
        sendUsbStatus(session, request, kUsbStatusFailed, EPROTO);
        return -1;
    }
    UsbTransferRequest body;
    decodeUsbTransferRequest(raw, &body);
    if (body.type == kUrbTypeIso) {
        const uint64_t descriptors = static_cast<uint64_t>(request->word0 >> 8) * 16;
        return refuse(session, request, descriptors + body.outLength, kUsbStatusFailed, EPROTO);
    }
    const int row = body.row;
    if (!isSlotPresent(row, body.port))
        return refuse(session, request, body.outLength, kUsbStatusFailed, ENODEV);
    if (body.type == kUrbTypeControl)
        return processCtrlReq(session, request, body);
    if (!isRowOwnedBy(row, session))
        return refuse(session, request, body.outLength, kUsbStatusRefused, ENOMEM);
    if (body.type > kUrbTypeBulk)
        return refuse(session, request, body.outLength, kUsbStatusFailed, EPROTO);
    if (rowFd(row) < 0)
        return refuse(session, request, body.outLength, kUsbStatusFailed, ENODEV);

    const bool in = (body.endpoint & 0x80) != 0;
    // An IN request carries no OUT data; whatever it announces is dropped.
    if (in && body.outLength > 0 && !skipUsbBody(session, body.outLength))
        return -1;
    const uint64_t unread = in ? 0 : body.outLength;
    const bool single = body.type == kUrbTypeInterrupt || usbDeviceTable[row].isVideo;
    const uint32_t length = in ? body.inLength : body.outLength;
    if (single && length > kUrbSingleLimit)
        return refuse(session, request, unread, kUsbStatusFailed, ENOMEM);

    UrbSet* set = makeSet(row, request, body, single);
    if (!set) {
        fprintf(stderr, "%s Error: new purb:%p mem fault!?\n", "submitUrb", static_cast<void*>(set));
        return refuse(session, request, unread, kUsbStatusFailed, ENODEV);
    }
    set->flags = kUrbPrepared;
    appendSet(row, set);
    if (!in && feedOutSet(session, row, *set) < 0)
        return -1;
    if (in && body.type == kUrbTypeBulk && findUrbSetByEndpoint(row, body.endpoint, kUrbBusy))
        return 0;
    if (in && startInSet(session, *set) < 0)
        return -1;
    // The set may be answered and freed by now: only the row is used.
    return reapAtHand(session, row);
}

int handleDiscardUrbById(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t id[4];
    if (!readUsbBody(session, id, sizeof id)) {
        sendUsbStatus(session, request, kUsbStatusFailed, EPROTO);
        return -1;
    }
    for (int row = usbRowCount.load() - 1; row >= 0; --row) {
        if (!isRowOwnedBy(row, session))
            continue;
        UrbSet* set = findUrbSetById(row, id);
        if (!set)
            continue;
        if (discardAndAnswer(session, row, set) < 0)
            return -1;
        break;
    }
    return sendUsbStatus(session, request, kUsbStatusDone, 0);
}

int handleAbortEndpoint(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t body[3];
    if (!readUsbBody(session, body, sizeof body))
        return -1;
    const int row = body[0];
    if (!isSlotPresent(row, body[1]))
        return sendUsbStatus(session, request, kUsbStatusFailed, ENODEV);
    if (isRowOwnedByOther(row, session))
        return sendUsbStatus(session, request, kUsbStatusRefused, ENOMEM);
    if (!isRowOwnedBy(row, session) || rowFd(row) < 0)
        return sendUsbStatus(session, request, kUsbStatusFailed, EPROTO);
    while (UrbSet* set = nextSetToDiscard(row, body[2])) {
        if (discardAndAnswer(session, row, set) < 0)
            return -1;
    }
    return sendUsbStatus(session, request, kUsbStatusDone, 0);
}

int usb_srv_poll(UsbPollRecord* record)
{
    if (!record || !isValidSlot(record->row))
        return -1;
    const int row = record->row;
    UsbPollRecord* session = record->session;
    {
        UsbRowLock lock(row);
        // A record that is no longer the row's (destroyed in this batch of
        // events) has nothing to reap.
        if (!lock.locked() || usbDeviceTable[row].pollRecord != record || usbDeviceTable[row].owner != session)
            return 0;
    }
    return reapReady(session, row, kReapBatch) == kReapFailed ? -1 : 0;
}

void installUrbHandlers()
{
    setUsbRequestHandler(kUsbOpTransfer, submitUrb);
    setUsbRequestHandler(kUsbOpDiscardUrb, handleDiscardUrbById);
    setUsbRequestHandler(kUsbOpAbortEndpoint, handleAbortEndpoint);
}
