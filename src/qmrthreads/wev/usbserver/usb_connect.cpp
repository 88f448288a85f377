#include "usbserver/usb_connect.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/product/model_features.h"
#include "platform/usbfs/usbfs.h"
#include "usbserver/usb_access.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_dispatch.h"
#include "usbserver/usb_notice.h"
#include "usbserver/usb_poll_record.h"
#include "usbserver/usb_port_power.h"
#include "usbserver/usb_publish.h"
#include "usbserver/usb_scan.h"
#include "usbserver/usb_session.h"
#include "usbserver/usb_session_io.h"
#include "usbserver/usb_session_tls.h"
#include "usbserver/usb_transfer_request.h"
#include "usbserver/usb_urb.h"

namespace {

constexpr size_t kConnectBodySize = 34;
constexpr size_t kClientNameSize = 32;

// Devices that need their own treatment.
struct UsbId {
    int vendor;
    int product;  // -1: any
};
constexpr UsbId kConfigFromCache = {0x126F, 0x1165};          // configuration 1 answered from the cache
constexpr UsbId kUnconfigureFirst[] = {{0x088E, 0x5036}, {0x0819, 0x0101}};
constexpr int kReleaseForUnconfigureVendor = 0x0D46;           // configuration 0 through the port release
constexpr UsbId kNoClearHalt[] = {{0x0819, 0x0101}, {0x0A50, 0x0101}};
// A failing port release with ENODEV still needs the reset or power cycle.
constexpr int kReleaseNoDeviceProduct = 0x8086;
constexpr int kReleaseNoDeviceVendor = 0x1139;

int usbIoctl(int fd, unsigned long request, void* arg)
{
    return usbfs().ioctl(fd, request, arg) < 0 ? (errno ? errno : EIO) : 0;
}

int descriptorVendor(int row)
{
    const uint8_t* d = usbDeviceTable[row].deviceDescriptor;
    return d[8] | d[9] << 8;
}

int descriptorProduct(int row)
{
    const uint8_t* d = usbDeviceTable[row].deviceDescriptor;
    return d[10] | d[11] << 8;
}

bool isDevice(int row, const UsbId& id)
{
    return descriptorVendor(row) == id.vendor && (id.product < 0 || descriptorProduct(row) == id.product);
}

template <size_t N>
bool isAnyDevice(int row, const UsbId (&ids)[N])
{
    for (const UsbId& id : ids) {
        if (isDevice(row, id))
            return true;
    }
    return false;
}

int status(UsbPollRecord* session, const UsbRequestHeader* request, uint32_t st, uint32_t error)
{
    return sendUsbStatus(session, request, st, error);
}

int reply(UsbPollRecord* session, const UsbRequestHeader* request, uint32_t st, uint32_t error)
{
    return sendUsbStatus(session, request, st, error) < 0 ? -1 : 0;
}

// Watches the row's open device file in the session's epoll set for
// completions. 0, or -1 (nothing is left registered).
int watchDevice(UsbPollRecord* session, int row)
{
    const int fd = usbDeviceTable[row].fd.load();
    const int readiness = fd >= 0 ? usbfs().pollFd(fd) : -1;
    if (readiness < 0)
        return -1;
    UsbPollRecord* record = UsbPollRecord::create(readiness, row);
    if (!record)
        return -1;
    if (UsbPollRecord::attach(session, record) != 0 || record->watchOutput() != 0) {
        UsbPollRecord::destroy(&record);
        return -1;
    }
    record->setHandler(usb_srv_poll);
    UsbRowLock lock(row);
    usbDeviceTable[row].pollRecord = record;
    return 0;
}

// The interfaces of the selected configuration go back (results not
// checked: the device may already have dropped them).
void releaseSelectedInterfaces(int row, int fd)
{
    UsbDeviceSlot& slot = usbDeviceTable[row];
    const int selected = slot.selectedConfig;
    if (fd < 0 || selected < 0 || selected >= slot.configCacheCount)
        return;
    const UsbConfigRecord& config = slot.configCache[selected];
    for (int i = 0; i < config.claimCount(); ++i) {
        unsigned int number = config.interfaceNumbers[i];
        usbfs().ioctl(fd, USBDEVFS_RELEASEINTERFACE, &number);
    }
}

void setSelectedConfig(int row, int selected)
{
    UsbRowLock lock(row);
    usbDeviceTable[row].selectedConfig = selected;
}

// Switching a port off also makes its device vanish: the scan finds it
// again as new when the power comes back.
void powerCycle(int row)
{
    const int port = usbDeviceTable[row].port;
    if (port >= 1)
        usbPortPowerOff(port - 1, kUsbPowerCycleTicks);
}

// A failed reset on a model that switches port power cycles the power
// instead and counts as done; elsewhere it is the errno.
int resetOrPowerCycle(int row, int fd)
{
    int error = usbIoctl(fd, USBDEVFS_RESET, nullptr);
    if (error == 0) {
        detachKernelDrivers(row, fd);
        return 0;
    }
    if (!hasFeaturePortSwitch())
        return error;
    powerCycle(row);
    return 0;
}

void sleepMs(int ms)
{
    poll(nullptr, 0, ms);
}

// After a failure of a connect that had claimed the row: everything opened
// for it goes again; a row taken anew is given back.
void undoConnect(UsbPollRecord* session, int row, bool retake)
{
    closeOwnedRow(session, row);
    if (!retake)
        releaseSlotOwnership(row, session);
}

// The reset before a client takes the device: reset, close, give the device
// time to come back, scan, open again. 0 or the errno of the open.
int preReset(int row)
{
    UsbDeviceSlot& slot = usbDeviceTable[row];
    usbfs().ioctl(slot.fd.load(), USBDEVFS_RESET, nullptr);
    slot.closeDevice();
    sleepMs(kUsbPreResetMs);
    rescanUsbDevices();
    int r = slot.openDevice(O_RDWR, nullptr);
    return r > 0 ? 0 : r < 0 ? -r : EBUSY;
}

struct RowPort {
    int row;
    int port;
    int third;  // interface or endpoint, when the body has one
};

// Reads {row, port} or {row, port, byte}. false when it did not come whole.
bool readRowPort(UsbPollRecord* session, size_t size, RowPort* out)
{
    uint8_t body[3] = {};
    if (!readUsbBody(session, body, size))
        return false;
    *out = RowPort{body[0], body[1], body[2]};
    return true;
}

// The checks every operation on one row shares: the row is there on that
// port (else 3/19) and no other session owns it (else 5/12). 0 when it may
// go on, else the status to answer with (its error in *error).
uint32_t checkRow(UsbPollRecord* session, const RowPort& rp, uint32_t* error)
{
    if (!isSlotPresent(rp.row, rp.port)) {
        *error = ENODEV;
        return kUsbStatusFailed;
    }
    if (isRowOwnedByOther(rp.row, session)) {
        *error = ENOMEM;
        return kUsbStatusRefused;
    }
    return kUsbStatusDone;
}

// Set configuration's part after the checks: the usbfs requests. The status
// to answer with; *deferred when the device must be reset later.
uint32_t configure(int row, int fd, int value, const uint8_t* pairs, int pairCount, uint32_t* error, bool* deferred)
{
    UsbDeviceSlot& slot = usbDeviceTable[row];
    if (isDevice(row, kConfigFromCache) && value == 1 && slot.configCacheCount > 0) {
        setSelectedConfig(row, 0);
        return kUsbStatusDone;
    }
    const int selected = slot.selectedConfig;
    if (value != 0 && selected >= 0 && selected < slot.configCacheCount
        && slot.configCache[selected].bConfigurationValue() == value)
        return kUsbStatusDone;
    if (selected >= 0) {
        releaseSelectedInterfaces(row, fd);
        setSelectedConfig(row, -1);
    }
    *deferred = true;
    if (value == 0) {
        if (descriptorVendor(row) == kReleaseForUnconfigureVendor) {
            int e = usbIoctl(fd, USBDEVFS_PORT_RELEASE, nullptr);
            if (e == 0) {
                *deferred = false;
                return kUsbStatusDone;
            }
            if (e == ENOTTY || e == ENODEV) {
                *error = static_cast<uint32_t>(usbIoctl(fd, USBDEVFS_RESET, nullptr));
                return *error ? kUsbStatusFailed : kUsbStatusDone;
            }
            return kUsbStatusDone;
        }
        unsigned int zero = 0;
        *error = static_cast<uint32_t>(usbIoctl(fd, USBDEVFS_SETCONFIGURATION, &zero));
        *deferred = *error != 0;
        return *error ? kUsbStatusFailed : kUsbStatusDone;
    }
    if (isAnyDevice(row, kUnconfigureFirst)) {
        unsigned int zero = 0;
        usbfs().ioctl(fd, USBDEVFS_SETCONFIGURATION, &zero);
    }
    // A kernel driver holding an interface makes usbfs refuse the change.
    detachKernelDrivers(row, fd);
    unsigned int v = static_cast<unsigned int>(value);
    if ((*error = static_cast<uint32_t>(usbIoctl(fd, USBDEVFS_SETCONFIGURATION, &v))) != 0)
        return kUsbStatusFailed;
    int found = -1;
    for (int k = 0; k < slot.configCacheCount; ++k) {
        if (slot.configCache[k].bConfigurationValue() == value) {
            found = k;
            break;
        }
    }
    if (found < 0)
        return kUsbStatusDone;
    setSelectedConfig(row, found);
    // The new configuration's interfaces were offered to the kernel's
    // drivers again.
    detachKernelDrivers(row, fd);
    const UsbConfigRecord& config = slot.configCache[found];
    for (int i = 0; i < config.claimCount(); ++i) {
        unsigned int number = config.interfaceNumbers[i];
        if ((*error = static_cast<uint32_t>(usbIoctl(fd, USBDEVFS_CLAIMINTERFACE, &number))) != 0)
            return kUsbStatusFailed;
    }
    for (int i = 0; i < pairCount; ++i) {
        usbdevfs_setinterface si{};
        si.interface = pairs[2 * i];
        si.altsetting = pairs[2 * i + 1];
        if ((*error = static_cast<uint32_t>(usbIoctl(fd, USBDEVFS_SETINTERFACE, &si))) != 0)
            return kUsbStatusFailed;
    }
    *deferred = false;
    return kUsbStatusDone;
}

// Reads a request's row/port body and checks the row. false when the request
// has been dealt with already; *result is then the handler's result (-1 ends
// the session: its body could not be read). Requests whose client waits for
// an answer get one even then.
bool takeRowRequest(UsbPollRecord* session, const UsbRequestHeader* request, size_t words, bool answerShortBody,
                    RowPort* rp, int* result)
{
    if (!readRowPort(session, words, rp)) {
        if (answerShortBody)
            status(session, request, kUsbStatusFailed, EPROTO);
        *result = -1;
        return false;
    }
    uint32_t error = 0;
    uint32_t st = checkRow(session, *rp, &error);
    if (st != kUsbStatusDone) {
        *result = reply(session, request, st, error);
        return false;
    }
    return true;
}

} // namespace

void closeOwnedRow(UsbPollRecord* session, int row)
{
    destroyRowPollRecord(row);
    usbDeviceTable[row].closeDevice();
    abortRowTransfers(session, row);
}

int detachKernelDrivers(int row, int fd)
{
    UsbDeviceSlot& slot = usbDeviceTable[row];
    uint64_t seen[4] = {};
    int detached = 0;
    for (int k = 0; k < slot.configCacheCount; ++k) {
        const UsbConfigRecord& config = slot.configCache[k];
        for (int i = 0; i < config.interfaceNumberCount; ++i) {
            const unsigned number = config.interfaceNumbers[i];
            if (seen[number / 64] & (1ull << (number % 64)))
                continue;
            seen[number / 64] |= 1ull << (number % 64);
            usbdevfs_getdriver driver{};
            driver.interface = number;
            if (usbfs().ioctl(fd, USBDEVFS_GETDRIVER, &driver) != 0 || strcmp(driver.driver, "usbfs") == 0)
                continue;
            usbdevfs_ioctl command{};
            command.ifno = static_cast<int>(number);
            command.ioctl_code = static_cast<int>(USBDEVFS_DISCONNECT);
            if (usbfs().ioctl(fd, USBDEVFS_IOCTL, &command) >= 0)
                ++detached;
        }
    }
    return detached;
}

int handleConnect(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t body[kConnectBodySize];
    if (!readUsbBody(session, body, sizeof body)) {
        status(session, request, kUsbStatusFailed, ENODEV);
        return -1;
    }
    const int row = body[0];
    const int port = body[1];
    char name[kClientNameSize + 1];
    memcpy(name, body + 2, kClientNameSize);
    name[kClientNameSize] = 0;
    if (!isSlotPresent(row, port))
        return reply(session, request, kUsbStatusFailed, ENODEV);
    // The rules of the port come first: a client they refuse takes nothing
    // from anybody.
    if (!isPortAccessAllowed(row, port))
        return reply(session, request, kUsbStatusRefused, EFAULT);
    if (isPortTlsOnly(port) && !isTlsSession(session))
        return reply(session, request, kUsbStatusRefused, EACCES);

    const bool retake = isRowOwnedBy(row, session);
    if (retake) {
        closeOwnedRow(session, row);
    } else if (isRowOwnedByOther(row, session) && !takeSlotFromOwner(row, kUsbTakeOverTicks)) {
        return reply(session, request, kUsbStatusFailed, EBUSY);
    }
    sockaddr_storage peer{};
    socklen_t peerLength = getPeerAddress(session, &peer, sizeof peer);
    if (!claimSlotOwnership(row, session, sessionTaskId(session), peerLength ? reinterpret_cast<sockaddr*>(&peer) : nullptr,
                            peerLength))
        return reply(session, request, kUsbStatusFailed, isSlotPresent(row, port) ? EBUSY : ENODEV);

    UsbDeviceSlot& slot = usbDeviceTable[row];
    if (slot.fd.load() >= 0) {
        int r = status(session, request, kUsbStatusFailed, EPROTO);
        undoConnect(session, row, retake);
        return r < 0 ? -1 : 0;
    }
    // Whatever a former owner left in the list is no business of this
    // client's.
    abortRowTransfers(nullptr, row);
    int opened = slot.openDevice(O_RDWR, nullptr);
    int error = opened > 0 ? 0 : opened < 0 ? -opened : EBUSY;
    if (error == 0 && isPortPreReset(port) && !retake)
        error = preReset(row);
    if (error == 0) {
        detachKernelDrivers(row, slot.fd.load());
        if (watchDevice(session, row) != 0)
            error = ENOMEM;
    }
    if (error != 0) {
        int r = status(session, request, kUsbStatusFailed, static_cast<uint32_t>(error));
        undoConnect(session, row, retake);
        return r < 0 ? -1 : 0;
    }
    // Published before the client hears of it: whatever it or the
    // administrator does next finds the connect published, and a release
    // after a failed answer publishes its disconnect.
    if (!retake) {
        setSlotOwnerName(row, session, name);
        publishConnect(row, name[0] ? name : nullptr);
    }
    return status(session, request, kUsbStatusDone, 0) < 0 ? -1 : 0;
}

int handleDisconnect(UsbPollRecord* session, const UsbRequestHeader* request)
{
    RowPort rp{};
    int handled = 0;
    if (!takeRowRequest(session, request, 2, true, &rp, &handled))
        return handled;
    uint32_t error = 0;
    uint32_t st = kUsbStatusDone;
    const int row = rp.row;
    if (!isRowOwnedBy(row, session))
        return reply(session, request, kUsbStatusDone, 0);

    UsbDeviceSlot& slot = usbDeviceTable[row];
    int result = discardAllUrbSets(session, row);
    const int fd = slot.fd.load();
    if (fd >= 0) {
        int e = usbIoctl(fd, USBDEVFS_PORT_RELEASE, nullptr);
        bool released = e == 0;
        const bool letGo = e == ENODEV && descriptorProduct(row) != kReleaseNoDeviceProduct
                           && descriptorVendor(row) != kReleaseNoDeviceVendor;
        if (!released && !letGo) {
            if (hasFeaturePortSwitch()) {
                powerCycle(row);
            } else if ((e = usbIoctl(fd, USBDEVFS_RESET, nullptr)) == 0) {
                released = true;
            } else {
                st = kUsbStatusFailed;
                error = static_cast<uint32_t>(e);
            }
        }
        if (released)
            releaseSelectedInterfaces(row, fd);
    }
    closeOwnedRow(session, row);
    publishDisconnect(row);
    setSelectedConfig(row, -1);
    releaseSlotOwnership(row, session);
    if (result < 0)
        return -1;
    return reply(session, request, st, error);
}

int handleSetConfiguration(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t head[4];
    if (!readUsbBody(session, head, sizeof head))
        return -1;
    const int value = head[2];
    const int pairCount = value != 0 && head[3] != 0 ? head[3] : 0;
    uint8_t pairs[2 * 255];
    if (pairCount > 0 && !readUsbBody(session, pairs, 2u * pairCount)) {
        status(session, request, kUsbStatusFailed, EPROTO);
        return -1;
    }
    const RowPort rp{head[0], head[1], 0};
    uint32_t error = 0;
    uint32_t st = checkRow(session, rp, &error);
    if (st != kUsbStatusDone)
        return reply(session, request, st, error);
    const int row = rp.row;
    if (!isRowOwnedBy(row, session))
        return reply(session, request, kUsbStatusFailed, ENODEV);

    UsbDeviceSlot& slot = usbDeviceTable[row];
    if (discardAllUrbSets(session, row) < 0)
        return -1;
    bool deferred = false;
    if (slot.fd.load() < 0) {
        // A deferred reset closed the file: open it again, and watch it, or
        // nothing submitted later would ever be answered.
        int r = slot.openDevice(O_RDWR, nullptr);
        error = r > 0 ? 0 : r < 0 ? static_cast<uint32_t>(-r) : EBUSY;
        if (error == 0 && !slot.pollRecord && watchDevice(session, row) != 0) {
            slot.closeDevice();
            error = ENOMEM;
        }
        if (error != 0) {
            st = kUsbStatusFailed;
            deferred = true;
        }
    }
    if (st == kUsbStatusDone)
        st = configure(row, slot.fd.load(), value, pairs, pairCount, &error, &deferred);
    if (reply(session, request, st, error) < 0)
        return -1;
    if (deferred) {
        if (discardAllUrbSets(session, row) < 0)
            return -1;
        slot.resetPending.store(1);
    }
    return 0;
}

int handleClaimTest(UsbPollRecord* session, const UsbRequestHeader* request)
{
    RowPort rp{};
    int handled = 0;
    if (!takeRowRequest(session, request, 3, true, &rp, &handled))
        return handled;
    uint32_t error = 0;
    UsbDeviceSlot& slot = usbDeviceTable[rp.row];
    if (slot.fd.load() >= 0)
        return reply(session, request, kUsbStatusFailed, EPROTO);
    // A descriptor of its own: closing it gives the interface back, and the
    // row's own file stays its owner's alone.
    int fd = -1;
    int r = slot.openDevice(O_RDWR, &fd);
    if (r <= 0)
        return reply(session, request, kUsbStatusFailed, r < 0 ? static_cast<uint32_t>(-r) : EBUSY);
    unsigned int number = static_cast<unsigned int>(rp.third);
    error = static_cast<uint32_t>(usbIoctl(fd, USBDEVFS_CLAIMINTERFACE, &number));
    int result = reply(session, request, error ? kUsbStatusFailed : kUsbStatusDone, error);
    usbfs().close(fd);
    return result;
}

int handleReleaseInterface(UsbPollRecord* session, const UsbRequestHeader* request)
{
    RowPort rp{};
    int handled = 0;
    if (!takeRowRequest(session, request, 3, false, &rp, &handled))
        return handled;
    uint32_t error = 0;
    const int fd = usbDeviceTable[rp.row].fd.load();
    if (fd < 0 || !isRowOwnedBy(rp.row, session))
        return reply(session, request, kUsbStatusFailed, EPROTO);
    unsigned int number = static_cast<unsigned int>(rp.third);
    error = static_cast<uint32_t>(usbIoctl(fd, USBDEVFS_RELEASEINTERFACE, &number));
    return reply(session, request, error ? kUsbStatusFailed : kUsbStatusDone, error);
}

int handleClearHalt(UsbPollRecord* session, const UsbRequestHeader* request)
{
    RowPort rp{};
    int handled = 0;
    if (!takeRowRequest(session, request, 3, false, &rp, &handled))
        return handled;
    const int fd = usbDeviceTable[rp.row].fd.load();
    if (fd < 0 || !isRowOwnedBy(rp.row, session))
        return reply(session, request, kUsbStatusFailed, EPROTO);
    if (isAnyDevice(rp.row, kNoClearHalt))
        return reply(session, request, kUsbStatusDone, 0);
    unsigned int endpoint = static_cast<unsigned int>(rp.third);
    if (usbIoctl(fd, USBDEVFS_CLEAR_HALT, &endpoint) != 0)
        return reply(session, request, kUsbStatusFailed, ENODEV);
    return reply(session, request, kUsbStatusDone, 0);
}

int handleResetDevice(UsbPollRecord* session, const UsbRequestHeader* request)
{
    RowPort rp{};
    int handled = 0;
    if (!takeRowRequest(session, request, 2, false, &rp, &handled))
        return handled;
    uint32_t error = 0;
    const int fd = isRowOwnedBy(rp.row, session) ? usbDeviceTable[rp.row].fd.load() : -1;
    if (fd < 0)
        return reply(session, request, kUsbStatusDone, 0);
    error = static_cast<uint32_t>(resetOrPowerCycle(rp.row, fd));
    return reply(session, request, error ? kUsbStatusFailed : kUsbStatusDone, error);
}

int adminDisconnectPort(int port)
{
    for (int row = 0; row < usbRowCount.load() && row < kUsbTableRows; ++row) {
        UsbDeviceSlot& slot = usbDeviceTable[row];
        if (slot.state.load() == kUsbSlotFree || slot.port != port)
            continue;
        publishDisconnect(row);
        int task = 0;
        {
            UsbRowLock lock(row);
            slot.resetPending.store(1);
            if (slot.owner)
                task = slot.ownerTaskId.load();
        }
        if (task > 0)
            postUsbNotice(task, kUsbOpNoticeAdminDisconnect, row, port);
    }
    return 1;
}

void installUsbDeviceHandlers()
{
    setUsbRequestHandler(kUsbOpClaimTest, handleClaimTest);
    setUsbRequestHandler(kUsbOpReleaseInterface, handleReleaseInterface);
    setUsbRequestHandler(kUsbOpDisconnect, handleDisconnect);
    setUsbRequestHandler(kUsbOpClearHalt, handleClearHalt);
    setUsbRequestHandler(kUsbOpResetDevice, handleResetDevice);
    setUsbRequestHandler(kUsbOpSetConfiguration, handleSetConfiguration);
    setUsbRequestHandler(kUsbOpConnect, handleConnect);
    installUrbHandlers();
}
