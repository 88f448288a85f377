#include "usbserver/usb_control.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/usbfs/usbfs.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_session_io.h"
#include "usbserver/usb_strings.h"

namespace {

constexpr uint8_t kTypeStandardInterfaceOut = 0x01;
constexpr uint8_t kTypeStandardEndpointOut = 0x02;
constexpr uint8_t kTypeStandardDeviceIn = 0x80;
constexpr uint8_t kTypeVendorDeviceIn = 0xC0;
constexpr uint8_t kRequestClearFeature = 1;
constexpr uint8_t kRequestGetDescriptor = 6;
constexpr uint8_t kRequestSetInterface = 11;
constexpr uint8_t kVendorRequestForAnyone = 1;
constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;
constexpr int kDeviceDescriptorSize = 18;
// The device whose control requests hang it: a time-out resets it.
constexpr int kResetOnTimeoutVendor = 0x0529;
constexpr int kResetOnTimeoutProduct = 0x0001;

struct Answer {
    uint32_t status = kUsbStatusRefused;
    uint32_t error = ENOMEM;
    uint32_t length = 0;
};

Answer done(uint32_t length)
{
    return Answer{kUsbStatusDone, 0, length};
}

Answer failed(uint32_t status, uint32_t error)
{
    return Answer{status, error, 0};
}

int positiveErrno()
{
    return errno ? errno : EIO;
}

int sendAnswer(UsbPollRecord* session, const UsbRequestHeader* request, const Answer& answer, const uint8_t* data)
{
    UsbReplyHeader reply = usbReplyFor(*request);
    reply.status = answer.status;
    reply.error = answer.status == kUsbStatusDone ? 0 : answer.error;
    reply.length = data ? answer.length : 0;
    return sendUsbReply(session, reply, data, reply.length) < 0 ? -1 : 0;
}

// A descriptor of the device file of its own, claiming nothing, for one
// request of a session that may not use the row's. Opened read-write: usbfs
// refuses every request on a descriptor opened read-only.
class SecondDescriptor {
public:
    explicit SecondDescriptor(int row) : row_(row) {}
    ~SecondDescriptor()
    {
        if (fd_ >= 0)
            usbfs().close(fd_);
    }
    SecondDescriptor(const SecondDescriptor&) = delete;
    SecondDescriptor& operator=(const SecondDescriptor&) = delete;

    // The descriptor, or -errno.
    int get()
    {
        if (fd_ >= 0)
            return fd_;
        int opened = -1;
        int r = usbDeviceTable[row_].openDevice(O_RDWR, &opened);
        if (r <= 0)
            return r < 0 ? r : -EBUSY;
        fd_ = opened;
        return fd_;
    }

private:
    int row_;
    int fd_ = -1;
};

int deviceId(int row, int offset)
{
    const uint8_t* d = usbDeviceTable[row].deviceDescriptor;
    return d[offset] | d[offset + 1] << 8;
}

// USBDEVFS_CONTROL with the data stage as it is (an OUT request's data must
// not be touched). The bytes transferred, or -1 with errno.
int controlTransfer(int fd, const UsbSetupPacket& setup, uint16_t wLength, void* data)
{
    usbdevfs_ctrltransfer transfer{};
    transfer.bRequestType = setup.bmRequestType;
    transfer.bRequest = setup.bRequest;
    transfer.wValue = setup.wValue;
    transfer.wIndex = setup.wIndex;
    transfer.wLength = wLength;
    transfer.timeout = kUsbControlTimeoutMs;
    transfer.data = wLength ? data : nullptr;
    return usbfs().ioctl(fd, USBDEVFS_CONTROL, &transfer);
}

Answer setInterface(int row, const UsbSetupPacket& setup)
{
    usbdevfs_setinterface si{};
    si.interface = setup.wIndex;
    si.altsetting = setup.wValue;
    const int fd = usbDeviceTable[row].fd.load();
    if (fd < 0 || usbfs().ioctl(fd, USBDEVFS_SETINTERFACE, &si) != 0)
        return failed(kUsbStatusRefused, kUsbErrorMappedRequest);
    return done(0);
}

Answer clearHalt(int row, const UsbSetupPacket& setup)
{
    unsigned int endpoint = setup.wIndex;
    const int fd = usbDeviceTable[row].fd.load();
    if (fd < 0 || usbfs().ioctl(fd, USBDEVFS_CLEAR_HALT, &endpoint) != 0)
        return failed(kUsbStatusRefused, kUsbErrorMappedRequest);
    return done(0);
}

Answer vendorRequest(SecondDescriptor& second, const UsbSetupPacket& setup, uint16_t wLength, uint8_t* in)
{
    int fd = second.get();
    if (fd < 0)
        return failed(kUsbStatusFailed, static_cast<uint32_t>(-fd));
    int r = controlTransfer(fd, setup, wLength, in);
    if (r < 0)
        return failed(kUsbStatusFailed, static_cast<uint32_t>(positiveErrno()));
    return done(static_cast<uint32_t>(std::min<int>(r, wLength)));
}

// Configuration k straight from the device file: the device descriptor,
// then every configuration whole. At most wTotalLength bytes of it, as a
// device answers.
Answer configurationDescriptor(SecondDescriptor& second, int index, uint16_t wLength, uint8_t* in)
{
    int fd = second.get();
    if (fd < 0)
        return failed(kUsbStatusFailed, static_cast<uint32_t>(-fd));
    const Answer refused;
    uint8_t head[4];
    if (usbfs().lseek(fd, 0, SEEK_SET) != 0 || usbfs().read(fd, head, 1) != 1 || head[0] == 0)
        return refused;
    off_t at = head[0];
    for (int k = 0;; ++k) {
        if (usbfs().lseek(fd, at, SEEK_SET) != at || usbfs().read(fd, head, 4) != 4)
            return refused;
        const int total = head[2] | head[3] << 8;
        if (total < 4)
            return refused;
        if (k == index) {
            const int n = std::min<int>(wLength, total);
            if (usbfs().lseek(fd, at, SEEK_SET) != at || usbfs().read(fd, in, static_cast<size_t>(n)) != n)
                return refused;
            return done(static_cast<uint32_t>(n));
        }
        at += total;
    }
}

Answer stringDescriptor(int row, bool owner, SecondDescriptor& second, const UsbSetupPacket& setup, uint16_t wLength,
                        uint8_t* in)
{
    UsbDeviceSlot& slot = usbDeviceTable[row];
    const int index = setup.wValue & 0xff;
    const int language = setup.wIndex;
    int n = slot.cachedString(language, index, in, wLength);
    if (n < 0 && index < kUsbOsStringIndex && wLength > 0) {
        int fd = owner ? slot.fd.load() : -1;
        if (fd < 0)
            fd = second.get();
        if (fd < 0)
            return failed(kUsbStatusFailed, static_cast<uint32_t>(-fd));
        n = slot.readStringDescriptor(fd, language, index, in, wLength);
    }
    if (n > 0)
        return done(static_cast<uint32_t>(std::min<int>(n, wLength)));
    if (index >= kUsbOsStringIndex || wLength < 2)
        return failed(kUsbStatusRefused, 3);
    // No such string: an empty string descriptor.
    in[0] = 2;
    in[1] = kDescriptorString;
    return done(2);
}

Answer ownerRequest(int row, const UsbSetupPacket& setup, uint16_t wLength, uint8_t* data)
{
    const int fd = usbDeviceTable[row].fd.load();
    if (fd < 0)
        return failed(kUsbStatusRefused, EPROTO);
    int r = controlTransfer(fd, setup, wLength, data);
    if (r >= 0)
        return done((setup.bmRequestType & 0x80) ? static_cast<uint32_t>(std::min<int>(r, wLength)) : 0);
    const int error = positiveErrno();
    if (error == ETIMEDOUT && deviceId(row, 8) == kResetOnTimeoutVendor && deviceId(row, 10) == kResetOnTimeoutProduct)
        usbfs().ioctl(fd, USBDEVFS_RESET, nullptr);
    return failed(kUsbStatusFailed, static_cast<uint32_t>(error));
}

// The request, once its bytes are read and its lengths checked. in is the
// IN buffer (wLength bytes) of an IN request; outData the data stage of an
// OUT request.
Answer carryOut(int row, bool owner, const UsbSetupPacket& setup, uint16_t wLength, uint8_t* in, uint8_t* outData)
{
    const uint8_t type = setup.bmRequestType;
    const uint8_t request = setup.bRequest;
    if (owner && type == kTypeStandardInterfaceOut && request == kRequestSetInterface)
        return setInterface(row, setup);
    if (owner && type == kTypeStandardEndpointOut && request == kRequestClearFeature)
        return clearHalt(row, setup);
    SecondDescriptor second(row);
    if (!owner && type == kTypeVendorDeviceIn && request == kVendorRequestForAnyone)
        return vendorRequest(second, setup, wLength, in);
    if (type == kTypeStandardDeviceIn && request == kRequestGetDescriptor) {
        switch (setup.wValue >> 8) {
        case kDescriptorDevice:
            return done(static_cast<uint32_t>(cachedDeviceDescriptor(row, in, wLength)));
        case kDescriptorConfiguration:
            return configurationDescriptor(second, setup.wValue & 0xff, wLength, in);
        case kDescriptorString:
            return stringDescriptor(row, owner, second, setup, wLength, in);
        default:
            break;
        }
    }
    if (!owner)
        return Answer{};
    return ownerRequest(row, setup, wLength, (type & 0x80) ? in : outData);
}

int refuseUnread(UsbPollRecord* session, const UsbRequestHeader* request, uint64_t unread)
{
    if (!skipUsbBody(session, unread))
        return -1;
    return sendUsbStatus(session, request, kUsbStatusFailed, EPROTO);
}

} // namespace

void decodeUsbSetupPacket(const uint8_t in[kUsbSetupSize], UsbSetupPacket* out)
{
    out->bmRequestType = in[0];
    out->bRequest = in[1];
    out->wValue = usbGetU16(in + 2);
    out->wIndex = usbGetU16(in + 4);
    out->wLength = usbGetU16(in + 6);
}

int cachedDeviceDescriptor(int row, uint8_t* out, int size)
{
    if (!isValidSlot(row) || !out || size <= 0)
        return 0;
    uint8_t d[kDeviceDescriptorSize];
    {
        UsbRowLock lock(row);
        memcpy(d, usbDeviceTable[row].deviceDescriptor, sizeof d);
    }
    const int n = std::min(size, kDeviceDescriptorSize);
    memcpy(out, d, static_cast<size_t>(n));
    // bcdUSB, idVendor, idProduct, bcdDevice
    for (int offset : {2, 8, 10, 12}) {
        if (offset + 1 < n) {
            out[offset] = d[offset + 1];
            out[offset + 1] = d[offset];
        }
    }
    return n;
}

int processCtrlReq(UsbPollRecord* session, const UsbRequestHeader* request, const UsbTransferRequest& body)
{
    const uint32_t outLength = body.outLength;
    if (outLength < kUsbSetupSize || outLength > kUsbSetupSize + kUsbControlMaxData)
        return refuseUnread(session, request, outLength);
    auto* out = static_cast<uint8_t*>(malloc(outLength));
    if (!out) {
        fprintf(stderr, "%s mem fault size:%d!?\n", "processCtrlReq", static_cast<int>(outLength));
        return refuseUnread(session, request, outLength);
    }
    if (!readUsbBody(session, out, outLength)) {
        free(out);
        sendUsbStatus(session, request, kUsbStatusFailed, EPROTO);
        return -1;
    }
    UsbSetupPacket setup;
    decodeUsbSetupPacket(out, &setup);
    const bool inRequest = (setup.bmRequestType & 0x80) != 0;
    const uint32_t inSize = std::min(body.inLength, kUsbControlMaxData);
    uint16_t wLength = setup.wLength;
    Answer answer;
    uint8_t* in = nullptr;
    bool fits = true;
    if (inRequest) {
        // The device may send no more than the client can take.
        wLength = static_cast<uint16_t>(std::min<uint32_t>(wLength, inSize));
        in = wLength ? static_cast<uint8_t*>(calloc(wLength, 1)) : nullptr;
        if (wLength && !in) {
            fprintf(stderr, "%s mem indata fault size:%d!?\n", "processCtrlReq", static_cast<int>(inSize));
            answer = failed(kUsbStatusFailed, EPROTO);
            fits = false;
        }
    } else if (wLength > outLength - kUsbSetupSize) {
        answer = failed(kUsbStatusFailed, EPROTO);
        fits = false;
    }
    const int row = body.row;
    if (fits)
        answer = carryOut(row, isRowOwnedBy(row, session), setup, wLength, in, out + kUsbSetupSize);
    int result = sendAnswer(session, request, answer, in);
    free(in);
    free(out);
    return result;
}
