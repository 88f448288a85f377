// Control transfers (transfer type 2 of opcode 8). They are not queued: each
// is carried out at once and answered before the next request is read.
//
// Who may do what: the owner of a row may send any control request; anyone
// may read the device, configuration and string descriptors, answered from
// what was cached at attach without disturbing the device; a session that
// does not own the row may also send the vendor IN request 1. SET_INTERFACE
// and CLEAR_FEATURE to an endpoint are carried out as the usbfs requests of
// the same meaning, which usbfs wants to see.
//
// The setup packet's 16-bit fields are big-endian on the wire. Every length
// from the client is bounded by the buffer it lands in: a request whose
// setup packet or data stage does not fit what was sent is refused (status
// 3, error 71) after its bytes were read, and an IN request's wLength never
// exceeds the IN length it may answer.
#pragma once

#include <cstdint>

#include "usbserver/usb_protocol.h"
#include "usbserver/usb_transfer_request.h"

struct UsbPollRecord;

constexpr int kUsbSetupSize = 8;
// A control transfer moves at most this much data (wLength is 16 bits).
constexpr uint32_t kUsbControlMaxData = 0xffff;
constexpr int kUsbControlTimeoutMs = 1000;

// The setup packet as the wire carries it (big-endian 16-bit fields).
struct UsbSetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};
void decodeUsbSetupPacket(const uint8_t in[kUsbSetupSize], UsbSetupPacket* out);

// One control transfer for the row of body, whose OUT data (setup packet and
// data stage) still waits in the stream; sends the answer (0x1008, the URB
// id as tag) with the IN data. -1 when the session cannot go on.
int processCtrlReq(UsbPollRecord* session, const UsbRequestHeader* request, const UsbTransferRequest& body);

// The cached device descriptor of the row as a GET_DESCRIPTOR answer of at
// most size bytes: bcdUSB, idVendor, idProduct and bcdDevice big-endian,
// each only when both its bytes fit. The bytes written.
int cachedDeviceDescriptor(int row, uint8_t* out, int size);
