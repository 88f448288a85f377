// What the rest of the program may read of the USB device table: one row's
// published facts, copied out under the table's own locks, so that a reader
// on any thread (a page, a mail) never holds a lock or a pointer into the
// table, and never sees a row half changed.
#pragma once

#include <cstddef>

constexpr size_t kUsbViewTextSize = 64;  // 63 characters and the NUL
constexpr size_t kUsbViewNameSize = 33;  // 32 characters and the NUL

enum class UsbViewState { Free, Gone, Present, Connected };

struct UsbDeviceView {
    UsbViewState state = UsbViewState::Free;
    int port = 0;  // physical port 1..20; 0 for a row never published
    int idVendor = 0;
    int idProduct = 0;
    char manufacturer[kUsbViewTextSize] = {};
    char product[kUsbViewTextSize] = {};
    char serial[kUsbViewTextSize] = {};
    // The owner's client name; empty unless the row is connected.
    char ownerName[kUsbViewNameSize] = {};
};

// Copies row's facts into *out. false, with out left alone, for a row this
// model's table does not have (a reader walks the rows from 0 until false)
// or when a lock of the table failed (the lock says so on stderr).
bool copyUsbDeviceView(int row, UsbDeviceView* out);
