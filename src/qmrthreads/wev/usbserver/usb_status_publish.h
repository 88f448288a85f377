// The device status publisher: what a row's attach, detach, connect and
// disconnect make visible outside the USB server. The numbered `usb_*_<n>`
// parameters (row + 1) carry the device's texts and owner, the notification
// task gets an event, the relay its code, and the port LEDs follow: per-port
// LED models count per port 100 x devices + sessions, the others count the
// sessions and show one shared in-use LED and the status pattern. After a
// port's last session the port may be switched off for `zyt_poffdura_<port>`
// tenths of a second.
#pragma once

#include <cstddef>

// Registers the publisher with the table (usb_publish.h) and answers the
// Blinker's question whether a client uses a device. Start-up calls it.
void registerUsbStatusPublisher();

// The counters start from nothing with each USB server.
void clearPortUsageCounters();
// 100 x attached devices + connected sessions of port index 0..19; -1 outside.
int portUsageCounter(int portIndex);
// Connected sessions on a model without per-port LEDs.
int usbSessionCount();
// The model counts devices and sessions per port and lights per-port LEDs.
bool hasPerPortLeds();

enum UsbSlotTextKind {
    kUsbTextManufacturer = 1,
    kUsbTextProduct = 2,
    kUsbTextSerial = 3,
    kUsbTextOwnerAddress = 4,  // "%03d.%03d.%03d.%03d", or "----"
    kUsbTextConnected = 5,     // "1" or empty
    kUsbTextProductId = 6,     // "0x%04X"
    kUsbTextVendorId = 7,
};
// A row's text for the pages, the MIB and the mails: its length, or -1 for
// a row that is neither present nor connected. A device text that does not
// fit is given empty; an unknown kind gives "id err !!".
int getUsbSlotText(int row, int kind, char* text, size_t size);
