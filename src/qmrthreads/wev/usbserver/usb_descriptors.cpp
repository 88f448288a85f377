#include "usbserver/usb_descriptors.h"

#include "platform/usbfs/usbfs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace {

constexpr uint8_t kTypeDevice = 1;
constexpr uint8_t kTypeConfiguration = 2;
constexpr uint8_t kTypeInterface = 4;
constexpr uint8_t kTypeEndpoint = 5;
constexpr uint8_t kClassVideo = 14;
constexpr int kStandardInterfaceLength = 9;

bool readExactly(const DescriptorSource& source, void* buffer, size_t size)
{
    return source.read(source.context, buffer, size) == static_cast<ssize_t>(size);
}

uint8_t countUp(uint8_t value)
{
    return value == 0xff ? value : static_cast<uint8_t>(value + 1);
}

// The name strings of configurations and interfaces only land in the string
// cache; their text is not kept.
void cacheNamedString(UsbDeviceSlot& slot, int index)
{
    if (index == 0)
        return;
    char text[kUsbTextSize];
    slot.readStringAscii(index, text, sizeof text);
}

bool readConfiguration(UsbDeviceSlot& slot, const DescriptorSource& source, const uint8_t head[2],
                       UsbConfigRecord** current)
{
    slot.configCount = countUp(slot.configCount);
    if (slot.configCount > slot.configCacheCount)
        return false;
    UsbConfigRecord& record = slot.configCache[slot.configCount - 1];
    record.descriptor[0] = head[0];
    record.descriptor[1] = head[1];
    if (!readExactly(source, record.descriptor + 2, 7))
        return false;
    cacheNamedString(slot, record.descriptor[6]);
    *current = &record;
    return true;
}

// A descriptor shorter than the standard 9 bytes is no interface: its fields
// would come from stale bytes. A longer one is read for its 9 bytes and the
// rest skipped.
bool readInterface(UsbDeviceSlot& slot, const DescriptorSource& source, const uint8_t head[2],
                   UsbConfigRecord* current)
{
    const int length = head[0];
    if (length < kStandardInterfaceLength)
        return source.skip(source.context, length - 2) == 0;
    uint8_t d[kStandardInterfaceLength];
    d[0] = head[0];
    d[1] = head[1];
    if (!readExactly(source, d + 2, kStandardInterfaceLength - 2))
        return false;
    if (length > kStandardInterfaceLength && source.skip(source.context, length - kStandardInterfaceLength) != 0)
        return false;
    slot.interfaceCount = countUp(slot.interfaceCount);
    cacheNamedString(slot, d[8]);
    if (d[5] == kClassVideo)
        slot.isVideo = 1;
    if (current && d[3] == 0 && current->interfaceNumberCount < kUsbMaxInterfaceNumbers)
        current->interfaceNumbers[current->interfaceNumberCount++] = d[2];
    return true;
}

// Endpoints of 7 bytes, or 9 (audio), are counted by direction and type.
bool readEndpoint(UsbDeviceSlot& slot, const DescriptorSource& source, const uint8_t head[2])
{
    uint8_t rest[7];
    if (!readExactly(source, rest, head[0] - 2))
        return false;
    const uint8_t address = rest[0];
    const uint8_t attributes = rest[1];
    const int index = (address & 0x80 ? kEpInControl : kEpOutControl) + (attributes & 3);
    slot.endpointCounts[index] = countUp(slot.endpointCounts[index]);
    return true;
}

struct UsbfsFile {
    int fd;
};

ssize_t usbfsRead(void* context, void* buffer, size_t size)
{
    return usbfs().read(static_cast<UsbfsFile*>(context)->fd, buffer, size);
}

int usbfsSkip(void* context, size_t count)
{
    return usbfs().lseek(static_cast<UsbfsFile*>(context)->fd, static_cast<off_t>(count), SEEK_CUR) < 0 ? -1 : 0;
}

} // namespace

int fetchDescriptors(UsbDeviceSlot& slot, const DescriptorSource& source)
{
    uint8_t device[sizeof slot.deviceDescriptor];
    ssize_t n = source.read(source.context, device, sizeof device);
    if (n > 0)
        memcpy(slot.deviceDescriptor, device, static_cast<size_t>(n));
    if (n != static_cast<ssize_t>(sizeof device) || device[1] != kTypeDevice)
        return 0;
    const int configurations = device[17];
    if (configurations < 1 || configurations > kUsbMaxConfigurations) {
        fprintf(stderr, "%s ERROR, configurations %d > %d\n", "fetchDescriptors", configurations,
                kUsbMaxConfigurations);
        return 0;
    }
    memset(slot.configCache, 0, sizeof slot.configCache);
    slot.configCacheCount = configurations;

    UsbConfigRecord* current = nullptr;
    for (;;) {
        uint8_t head[2];
        if (source.read(source.context, head, 2) < 2 || head[0] < 4)
            return 1;
        const uint8_t length = head[0];
        const uint8_t type = head[1];
        bool ok = true;
        if (type == kTypeConfiguration && length == 9)
            ok = readConfiguration(slot, source, head, &current);
        else if (type == kTypeInterface)
            ok = readInterface(slot, source, head, current);
        else if (type == kTypeEndpoint && (length == 7 || length == 9))
            ok = readEndpoint(slot, source, head);
        else
            ok = source.skip(source.context, length - 2) == 0;
        if (!ok)
            return 0;
    }
}

int fetchDescriptors(UsbDeviceSlot& slot, int fd)
{
    if (usbfs().lseek(fd, 0, SEEK_SET) < 0)
        return 0;
    UsbfsFile file{fd};
    DescriptorSource source{&file, usbfsRead, usbfsSkip};
    return fetchDescriptors(slot, source);
}

int usbControl(int fd, int bRequest, int bmRequestType, int wValue, int wIndex, void* data, int wLength,
               int timeoutMs)
{
    if (data && wLength > 0)
        memset(data, 0, static_cast<size_t>(wLength));
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    usbdevfs_ctrltransfer transfer{};
    transfer.bRequestType = static_cast<uint8_t>(bmRequestType);
    transfer.bRequest = static_cast<uint8_t>(bRequest);
    transfer.wValue = static_cast<uint16_t>(wValue);
    transfer.wIndex = static_cast<uint16_t>(wIndex);
    transfer.wLength = static_cast<uint16_t>(wLength);
    transfer.timeout = static_cast<uint32_t>(timeoutMs);
    transfer.data = data;
    return usbfs().ioctl(fd, USBDEVFS_CONTROL, &transfer);
}

int UsbDeviceSlot::readDescriptors()
{
    if (openDevice(O_RDWR, nullptr) <= 0)
        return -1;
    int ok = fetchDescriptors(*this, fd.load());
    if (ok)
        readNameStrings();
    closeDevice();
    return ok;
}

void UsbDeviceSlot::freeCaches()
{
    clearStringCache();
    memset(deviceDescriptor, 0, sizeof deviceDescriptor);
    memset(configCache, 0, sizeof configCache);
    configCacheCount = 0;
}
