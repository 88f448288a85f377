// The device scan: walks the kernel's sysfs tree ("/sys/bus/usb/devices"),
// takes every device the box shares into a free row of usbDeviceTable,
// notices the devices that went away, and maps each device to the physical
// port it is plugged into, by model.
#pragma once

#include <cstdint>

#include "usbserver/usb_device_table.h"

// One scan of the whole table: frees rows gone for 100 ticks or more (once
// their owner has let go), reads sysfs, marks the devices no longer found as
// gone (detach published, owner asked to drop the row). The number of
// devices added, or 0 when another scan ran meanwhile and this caller only
// waited for it.
int rescanUsbDevices();

// The sysfs walk alone (under the scan mutex): the number of rows added.
int scanSysfsDevices();

// Fills info from one sysfs device directory (a real path). 0 when the
// device is not taken (excluded ids, no "dev", no port on this model).
int readSysfsDevice(const char* path, UsbDeviceInfo* info);

// Finds the row of a scanned device or takes a free one, reads its
// descriptors and publishes its attach: 1 added, 0 already known, -1 no free
// row or descriptors unreadable.
int addScannedDevice(const UsbDeviceInfo& scanned);

// The physical port of a device at devpath ("1.2.3") on bus, for the model
// productId; 0 for a device in the table that is never published; negative
// when the device is not taken.
int devpathToPort(uint32_t productId, int bus, const char* devpath);

// The devpath's hash: each dot shifts left by 4 bits, every other character
// XORs the decimal number that starts there ("1.12": (1 << 4) ^ 12 ^ 2).
uint32_t devpathHashOf(const char* devpath);

// The sysfs "speed" text as a speed code: "1.5" low, "12" full, "480" high,
// "5000" and above super; anything else full.
int usbSpeedFromText(const char* text);

// Hands the usbfs back-end the model it serves: the product and its physical
// ports, as the product record gives them after the model's corrections.
void setUpUsbfsForProduct();

// Once at the USB server's start: the usbfs back-end set up for the product,
// sysfs mounted on "/sys" when the box has none (only on the box itself: a
// root's "sys" is set up by its maker), "/dev/bus" and "/dev/bus/usb" made
// when missing. 0 when the mount failed.
int prepareUsbFs();

// 0 when a line of "/proc/mounts" contains text, else -1.
int isMounted(const char* text);
