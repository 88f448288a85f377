#include "usbserver/usb_device_table.h"

#include "platform/files/root_path.h"
#include "core/task/task.h"
#include "core/task/tick_clock.h"
#include "platform/usbfs/usbfs.h"
#include "usbserver/usb_publish.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>

UsbDeviceSlot usbDeviceTable[kUsbTableRows];
std::atomic<int> usbRowCount{5};
std::atomic<int> usbDevnumThreshold{1};
std::atomic<int> usbUrbPopulation{0};

namespace {

pthread_mutex_t listMutex = PTHREAD_MUTEX_INITIALIZER;

void initMutex(pthread_mutex_t* mutex)
{
    // Error-checking: a thread that takes its own row lock again gets an
    // error and a message instead of hanging for ever.
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

int rowOf(const UsbDeviceSlot* slot)
{
    return static_cast<int>(slot - usbDeviceTable);
}

bool inTable(int row)
{
    return row >= 0 && row < kUsbTableRows;
}

// The open found no device behind the node any more; anything else (no
// descriptors or memory left, the device busy) fails only the open.
bool meansDeviceGone(int error)
{
    return error == ENOENT || error == ENODEV || error == ENXIO;
}

// A present or connected row whose device file has gone: it becomes gone,
// its detach is published once and its owner, if any, asked to let go.
void markSlotGone(int row)
{
    UsbDeviceSlot& slot = usbDeviceTable[row];
    bool published = false;
    {
        UsbRowLock lock(row);
        if (!lock.locked())
            return;
        int state = slot.state.load();
        if (state != kUsbSlotPresent && state != kUsbSlotConnected)
            return;
        slot.state.store(kUsbSlotGone);
        slot.goneTick.store(static_cast<uint32_t>(boardTicks()));
        slot.unseen.store(0);
        published = slot.attachPublished.exchange(false);
    }
    if (published)
        publishDetach(row);
    dropSlotOwner(row);
}

// Splices the row's transfer list out under the row lock; the caller frees
// the nodes outside it.
UrbListNode* detachTransferList(UsbDeviceSlot& slot)
{
    UrbListNode& head = slot.urbList;
    if (head.next == &head)
        return nullptr;
    UrbListNode* first = head.next;
    head.prev->next = nullptr;
    head.next = head.prev = &head;
    return first;
}

void deleteTransferChain(UrbListNode* node)
{
    while (node) {
        UrbListNode* next = node->next;
        delete node;
        node = next;
    }
}

} // namespace

UsbDeviceSlot::UsbDeviceSlot()
{
    initMutex(&mutex);
    initMutex(&stringMutex);
    init();
}

void UsbDeviceSlot::init()
{
    static_cast<UsbDeviceInfo&>(*this) = UsbDeviceInfo{};
    state.store(kUsbSlotFree);
    unseen.store(0);
    goneTick.store(0);
    resetPending.store(0);
    attachPublished.store(false);
    fd.store(-1);
    owner = nullptr;
    pollRecord = nullptr;
    ownerTaskId.store(0);
    ownerRequests.store(0);
    memset(&ownerPeer, 0, sizeof ownerPeer);
    ownerPeerLength = 0;
    ownerName[0] = 0;
    languageKnown = 0;
    language = 0;
    memset(deviceDescriptor, 0, sizeof deviceDescriptor);
    selectedConfig = -1;
    memset(configCache, 0, sizeof configCache);
    configCacheCount = 0;
    memset(endpointCounts, 0, sizeof endpointCounts);
    endpointCounts[kEpInControl] = 1;
    endpointCounts[kEpOutControl] = 1;
    configCount = 0;
    interfaceCount = 0;
    isVideo = 0;
    urbList.next = urbList.prev = &urbList;
}

bool UsbDeviceSlot::matches(const UsbDeviceInfo& scanned)
{
    UsbRowLock lock(rowOf(this));
    if (!lock.locked())
        return false;
    if (busnum != scanned.busnum || depth != scanned.depth || parent != scanned.parent
        || devpathHash != scanned.devpathHash || versionMajor != scanned.versionMajor
        || versionMinor != scanned.versionMinor || deviceClass != scanned.deviceClass
        || deviceSubClass != scanned.deviceSubClass || idVendor != scanned.idVendor
        || idProduct != scanned.idProduct || bcdDeviceHigh != scanned.bcdDeviceHigh
        || bcdDeviceLow != scanned.bcdDeviceLow)
        return false;
    if (devnum != scanned.devnum) {
        if (depth <= usbDevnumThreshold.load())
            return false;
        devnum = scanned.devnum;
    }
    unseen.store(0);
    return true;
}

int UsbDeviceSlot::openDevice(int flags, int* out)
{
    const int row = rowOf(this);
    char name[32];
    int error = 0;
    {
        UsbRowLock lock(row);
        if (!lock.locked())
            return -EDEADLK;
        if (!out && fd.load() >= 0)
            return 0;
        snprintf(name, sizeof name, "/dev/bus/usb/%03d/%03d", busnum, devnum);
        int opened = usbfs().open(boxPath(name).c_str(), flags | O_CLOEXEC);
        if (opened >= 0) {
            if (out)
                *out = opened;
            else
                fd.store(opened);
            return 1;
        }
        error = errno ? errno : EIO;
    }
    if (meansDeviceGone(error))
        markSlotGone(row);
    return -error;
}

int UsbDeviceSlot::closeDevice()
{
    int old = fd.exchange(-1);
    if (old < 0)
        return 0;
    usbfs().close(old);
    return 1;
}

void UsbDeviceSlot::reset()
{
    const int row = rowOf(this);
    UrbListNode* transfers = nullptr;
    lockUsbList(1);
    {
        UsbRowLock lock(row);
        closeDevice();
        transfers = detachTransferList(*this);
        freeCaches();
        init();
    }
    lockUsbList(0);
    deleteTransferChain(transfers);
}

void configureUsbTable(uint32_t usbtableProductId)
{
    struct Layout {
        int rows;
        int threshold;
    };
    Layout layout{5, 1};
    switch (usbtableProductId) {
    case 346:
    case 357:
        layout = {6, 2};
        break;
    case 347:
    case 366:
    case 367:
        layout = {12, 0};
        break;
    case 353:
        layout = {40, 2};
        break;
    case 356:
        layout = {16, 2};
        break;
    case 365:
        layout = {10, 0};
        break;
    default:
        break;
    }
    usbRowCount.store(layout.rows);
    usbDevnumThreshold.store(layout.threshold);
}

int muxIn(int row)
{
    if (!inTable(row))
        return 0;
    int rc = pthread_mutex_lock(&usbDeviceTable[row].mutex);
    if (rc != 0) {
        fprintf(stderr, "%s error:0x%x\n", "muxIn", rc);
        return 0;
    }
    return 1;
}

void muxOut(int row)
{
    if (inTable(row))
        pthread_mutex_unlock(&usbDeviceTable[row].mutex);
}

int lockUsbList(int on)
{
    int rc = on ? pthread_mutex_lock(&listMutex) : pthread_mutex_unlock(&listMutex);
    if (rc != 0) {
        fprintf(stderr, "%s error:0x%x\n", "lockUsbList", rc);
        return 0;
    }
    return 1;
}

bool isValidSlot(int row)
{
    return row >= 0 && row < usbRowCount.load() && row < kUsbTableRows;
}

bool isSlotPresent(int row, int port)
{
    if (!isValidSlot(row))
        return false;
    const UsbDeviceSlot& slot = usbDeviceTable[row];
    // The state first: a row's identity is written before it becomes
    // present and is not touched again until it is free.
    int state = slot.state.load();
    return (state == kUsbSlotPresent || state == kUsbSlotConnected) && slot.port == port;
}

int claimSlotOwnership(int row, UsbPollRecord* owner, int ownerTaskId, const sockaddr* peer,
                       socklen_t peerLength)
{
    if (!isValidSlot(row) || !owner)
        return 0;
    UsbDeviceSlot& slot = usbDeviceTable[row];
    UsbRowLock lock(row);
    if (!lock.locked())
        return 0;
    int state = slot.state.load();
    bool retake = state == kUsbSlotConnected && slot.owner == owner;
    if (state != kUsbSlotPresent && !retake)
        return 0;
    // A reset asked for before this session took the row (the administrator's
    // disconnect of a row nobody held) is not this session's: it would close
    // the file the new owner has just been given.
    if (!retake)
        slot.resetPending.store(0);
    slot.owner = owner;
    slot.ownerTaskId.store(ownerTaskId);
    memset(&slot.ownerPeer, 0, sizeof slot.ownerPeer);
    slot.ownerPeerLength = 0;
    if (peer && peerLength > 0 && peerLength <= sizeof slot.ownerPeer) {
        memcpy(&slot.ownerPeer, peer, peerLength);
        slot.ownerPeerLength = peerLength;
    }
    slot.state.store(kUsbSlotConnected);
    return 1;
}

int releaseSlotOwnership(int row, UsbPollRecord* owner)
{
    if (!inTable(row) || !owner)
        return 0;
    UsbDeviceSlot& slot = usbDeviceTable[row];
    UsbRowLock lock(row);
    if (!lock.locked() || slot.owner != owner)
        return 0;
    slot.owner = nullptr;
    slot.pollRecord = nullptr;
    slot.ownerTaskId.store(0);
    slot.ownerRequests.store(0);
    memset(&slot.ownerPeer, 0, sizeof slot.ownerPeer);
    slot.ownerPeerLength = 0;
    slot.ownerName[0] = 0;
    if (slot.state.load() == kUsbSlotConnected)
        slot.state.store(kUsbSlotPresent);
    return 1;
}

int dropSlotOwner(int row)
{
    if (!inTable(row))
        return 0;
    UsbDeviceSlot& slot = usbDeviceTable[row];
    int task = 0;
    {
        UsbRowLock lock(row);
        if (!lock.locked() || !slot.owner)
            return 0;
        slot.ownerRequests.fetch_or(kUsbOwnerDrop);
        task = slot.ownerTaskId.load();
    }
    if (task > 0) {
        // A full pipe loses the message, not the request: the owner also
        // looks at ownerRequests on every pass of its loop.
        TaskMessage msg{0, MSG_USB_ROW_REQUEST, row, 0};
        postToTaskId(task, &msg);
    }
    return 1;
}

uint32_t takeOwnerRequests(int row)
{
    if (!inTable(row))
        return 0;
    return usbDeviceTable[row].ownerRequests.exchange(0);
}

int waitForOwnerRelease(int row, int ticks)
{
    if (!inTable(row))
        return 1;
    const UsbDeviceSlot& slot = usbDeviceTable[row];
    // Counted in steps rather than read from the clock, so the bound holds
    // whatever the tick source does.
    constexpr int kStepTicks = 2;
    for (int waited = 0;; waited += kStepTicks) {
        if (slot.ownerTaskId.load() == 0) {
            UsbRowLock lock(row);
            if (lock.locked() && !slot.owner)
                return 1;
        }
        if (waited >= ticks)
            return 0;
        if (Task* task = Task::current())
            task->waitFor(kStepTicks, -1);
        else
            poll(nullptr, 0, kStepTicks * 10);
    }
}

int takeSlotFromOwner(int row, int ticks)
{
    if (!dropSlotOwner(row))
        return 1;
    if (waitForOwnerRelease(row, ticks))
        return 1;
    UsbRowLock lock(row);
    if (lock.locked() && usbDeviceTable[row].owner)
        usbDeviceTable[row].ownerRequests.fetch_and(~static_cast<uint32_t>(kUsbOwnerDrop));
    return 0;
}

socklen_t slotOwnerPeer(int row, sockaddr_storage* out)
{
    if (!isValidSlot(row) || !out)
        return 0;
    const UsbDeviceSlot& slot = usbDeviceTable[row];
    UsbRowLock lock(row);
    if (!lock.locked() || slot.state.load() != kUsbSlotConnected || !slot.owner)
        return 0;
    memcpy(out, &slot.ownerPeer, sizeof *out);
    return slot.ownerPeerLength;
}

int setSlotOwnerName(int row, const UsbPollRecord* owner, const char* name)
{
    if (!isValidSlot(row) || !owner)
        return 0;
    UsbDeviceSlot& slot = usbDeviceTable[row];
    UsbRowLock lock(row);
    if (!lock.locked() || slot.owner != owner)
        return 0;
    snprintf(slot.ownerName, sizeof slot.ownerName, "%s", name ? name : "");
    return 1;
}

void freeRowTransfers(int row)
{
    if (!inTable(row))
        return;
    UrbListNode* transfers = nullptr;
    {
        UsbRowLock lock(row);
        transfers = detachTransferList(usbDeviceTable[row]);
    }
    deleteTransferChain(transfers);
}
