// The string descriptor cache of a table row. The functions themselves are
// members of UsbDeviceSlot (usb_device_table.h): readNameStrings,
// readStringAscii, readStringDescriptor, cacheString, cachedString,
// clearStringCache. This header names the constants they share.
#pragma once

#include "usbserver/usb_device_table.h"

// GET_DESCRIPTOR(string) as every string read sends it.
constexpr int kUsbRequestGetDescriptor = 6;
constexpr int kUsbRequestTypeDeviceIn = 0x80;
constexpr int kUsbStringDescriptorType = 3;
constexpr int kUsbStringTimeoutMs = 1000;
// Microsoft's OS string, read at attach from devices of USB 2.0 and later.
constexpr int kUsbOsStringIndex = 0xEE;
// The longest string descriptor read (bLength is one byte, even for UTF-16).
constexpr int kUsbStringReadSize = 255;
