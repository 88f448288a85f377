// How the device table makes a row's changes visible outside the USB server:
// four publish operations (attach, detach, connect, disconnect). The status
// publishing (parameters, events, relay, port LEDs) registers its
// operations here; the table and the sessions only call these functions.
//
// Every call is also kept in a short record of what was published, in
// order, for the diagnostics and the tests; it is the whole effect while no
// publisher is registered.
//
// A publish call is never made with a row lock or the list mutex held: the
// publisher reads the row's texts under the list mutex.
#pragma once

#include <cstddef>
#include <vector>

enum class UsbPublishKind { Attach, Detach, Connect, Disconnect };

struct UsbPublishOps {
    void (*attach)(int row);
    void (*detach)(int row);
    void (*connect)(int row, const char* clientName);  // name may be null
    void (*disconnect)(int row);
};

// Registers the publisher (null: none).
void setUsbPublishOps(const UsbPublishOps* ops);

// Each does nothing unless the row is valid and its port is 1 to
// usb_ports_phy; otherwise it records the call and hands it on. A disconnect
// is handed on once per published connect: later ones for the same connect
// do nothing.
void publishAttach(int row);
void publishDetach(int row);
void publishConnect(int row, const char* clientName);
void publishDisconnect(int row);

struct UsbPublishRecord {
    UsbPublishKind kind;
    int row;
    int port;
    char clientName[33];  // connect only; empty otherwise
};

// The newest publish calls (at most kUsbPublishRecordLimit), oldest first.
constexpr size_t kUsbPublishRecordLimit = 256;
std::vector<UsbPublishRecord> usbPublishRecords();
void clearUsbPublishRecords();
