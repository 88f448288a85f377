#include "usbserver/usb_strings.h"

#include "usbserver/usb_descriptors.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

class StringCacheLock {
public:
    explicit StringCacheLock(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~StringCacheLock() { pthread_mutex_unlock(mutex_); }
    StringCacheLock(const StringCacheLock&) = delete;
    StringCacheLock& operator=(const StringCacheLock&) = delete;

private:
    pthread_mutex_t* mutex_;
};

bool isOsStringExempt(int vendor, int product)
{
    return vendor == 0x088E && product == 0x5036;
}

} // namespace

int UsbDeviceSlot::readNameStrings()
{
    char text[kUsbTextSize];
    const uint8_t names[] = {deviceDescriptor[14], deviceDescriptor[15], deviceDescriptor[16]};
    for (uint8_t index : names)
        if (index != 0)
            readStringAscii(index, text, sizeof text);
    if (versionMajor >= 2 && !isOsStringExempt(idVendor, idProduct))
        readStringAscii(kUsbOsStringIndex, text, sizeof text);
    return 1;
}

int UsbDeviceSlot::readStringAscii(int index, char* text, int size)
{
    if (index == 0 || !text || size <= 0)
        return -1;
    const int file = fd.load();
    if (!languageKnown) {
        uint8_t head[4];
        int r = readStringDescriptor(file, 0, 0, head, sizeof head);
        if (r < 4 || head[0] < 4)
            return -1;
        language = head[2] | head[3] << 8;
        languageKnown = 1;
    }
    uint8_t buffer[kUsbStringReadSize];
    int r = readStringDescriptor(file, language, index, buffer, sizeof buffer);
    if (r < 0)
        return r;
    const int end = std::min(r, static_cast<int>(buffer[0]));
    int count = 0;
    for (int i = 2; i + 1 < end && count < size - 1; i += 2)
        text[count++] = buffer[i + 1] ? '?' : static_cast<char>(buffer[i]);
    text[count] = '\0';
    return count;
}

int UsbDeviceSlot::readStringDescriptor(int file, int lang, int index, uint8_t* buffer, int size)
{
    // Without a descriptor nothing reached the device: nothing to remember.
    if (file < 0 || !buffer || size <= 0)
        return -EBADF;
    size = std::min(size, 0xffff);
    int r = usbControl(file, kUsbRequestGetDescriptor, kUsbRequestTypeDeviceIn,
                       (kUsbStringDescriptorType << 8) + index, lang, buffer, size, kUsbStringTimeoutMs);
    if (r < 0 || r >= kUsbStringReadSize) {
        int result = r < 0 ? -(errno ? errno : EIO) : -1;
        cacheString(lang, index, nullptr, 0);
        return result;
    }
    // A descriptor cut short by the buffer is not the whole string.
    if (r > 0 && r == buffer[0])
        cacheString(lang, index, buffer, r);
    return r;
}

void UsbDeviceSlot::cacheString(int lang, int index, const uint8_t* bytes, int length)
{
    length = std::clamp(length, 0, kUsbStringReadSize);
    if (!bytes)
        length = 0;
    StringCacheLock lock(&stringMutex);
    for (UsbStringEntry* e = stringCache; e; e = e->next)
        if (e->language == static_cast<uint16_t>(lang) && e->index == static_cast<uint8_t>(index))
            return;
    if (stringCacheEntries >= kUsbStringCacheLimit)
        return;
    auto* entry = static_cast<UsbStringEntry*>(malloc(sizeof(UsbStringEntry) + static_cast<size_t>(length)));
    if (!entry)
        return;
    entry->next = stringCache;
    entry->index = static_cast<uint8_t>(index);
    entry->language = static_cast<uint16_t>(lang);
    entry->length = length;
    if (length > 0)
        memcpy(entry->bytes, bytes, static_cast<size_t>(length));
    stringCache = entry;
    ++stringCacheEntries;
}

int UsbDeviceSlot::cachedString(int lang, int index, uint8_t* buffer, int size)
{
    StringCacheLock lock(&stringMutex);
    for (UsbStringEntry* e = stringCache; e; e = e->next) {
        if (e->language != static_cast<uint16_t>(lang) || e->index != static_cast<uint8_t>(index))
            continue;
        int n = std::min(e->length, std::max(size, 0));
        if (n > 0 && buffer)
            memcpy(buffer, e->bytes, static_cast<size_t>(n));
        return n;
    }
    return -1;
}

void UsbDeviceSlot::clearStringCache()
{
    StringCacheLock lock(&stringMutex);
    UsbStringEntry* e = stringCache;
    while (e) {
        UsbStringEntry* next = e->next;
        free(e);
        e = next;
    }
    stringCache = nullptr;
    stringCacheEntries = 0;
}
