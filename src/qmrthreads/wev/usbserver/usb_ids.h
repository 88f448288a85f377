// Vendor and product names from the USB id list (the Linux usb.ids format)
// the read-only image carries as "/romfs/usb.ids":
//   VVVV  Vendor name
//   <TAB>PPPP  Product name
//   <TAB><TAB>II  Interface name
// followed by class, language and other sections whose lines begin with a
// keyword ("C 00 ...", "L 0409 ...").
#pragma once

#include <cstddef>

enum : int {
    kUsbIdsVendorFound = 0x1,
    kUsbIdsProductFound = 0x2,
};

// Looks vendor and product up in the list at path (a real path). A vendor
// found fills vendorName, a product of that vendor found fills productName
// (each cut to its buffer, NUL-terminated); a name not found leaves its
// buffer alone. Only a line of exactly four hexadecimal digits after exactly
// the right number of tabs, followed by blanks, names an id. Returns the
// kUsbIds* bits of what was found.
int lookupUsbIds(const char* path, int vendor, int product, char* vendorName, size_t vendorSize,
                 char* productName, size_t productSize);

// "/romfs/usb.ids" under the root.
int lookupUsbIds(int vendor, int product, char* vendorName, size_t vendorSize, char* productName,
                 size_t productSize);
