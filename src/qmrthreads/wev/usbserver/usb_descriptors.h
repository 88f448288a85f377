// Reading a device's descriptors once, when the scan takes it: the device
// descriptor, every configuration's header with the numbers of its
// interfaces, counts of its endpoints, and the strings the configurations
// and interfaces name. Later descriptor requests of clients are answered
// from these caches without touching the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "usbserver/usb_device_table.h"

// Where fetchDescriptors reads the descriptors from: read(2) and a forward
// skip with the semantics of the usbfs file (the device descriptor, then
// every configuration with all its descriptors).
struct DescriptorSource {
    void* context;
    ssize_t (*read)(void* context, void* buffer, size_t size);
    int (*skip)(void* context, size_t count);  // 0, or -1 when the skip failed
};

// Fills the row's deviceDescriptor, configCache, counters and isVideo from
// the source; the strings the configurations and interfaces name are read
// through the row's fd. 1 on success, 0 on failure (what was read stays).
int fetchDescriptors(UsbDeviceSlot& slot, const DescriptorSource& source);
// The same from the start of a usbfs descriptor.
int fetchDescriptors(UsbDeviceSlot& slot, int fd);

// One control transfer on a usbfs descriptor: the data buffer (wLength
// bytes) is zero-filled first. The bytes transferred, or -1 with errno (also
// for fd < 0).
int usbControl(int fd, int bRequest, int bmRequestType, int wValue, int wIndex, void* data, int wLength,
               int timeoutMs);
