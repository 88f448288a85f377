// Reading one request of the USB sharing protocol and dispatching it on its
// opcode, with the small opcodes that need no device: version, host name,
// tag list, busy mask, heartbeat, discard by URB id.
//
// The stream never falls out of step: a header is read whole (a header that
// arrives in pieces is waited for with the body time-out), every handler
// consumes its whole body even when it refuses, and a body that cannot be
// consumed ends the session.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usbserver/usb_protocol.h"

struct UsbPollRecord;

// A request handler: runs on the session thread, reads its own body, sends
// its own reply. A negative result ends the session; 0 or more goes on.
using UsbRequestHandler = int (*)(UsbPollRecord* session, const UsbRequestHeader* request);

// The event handler of the client socket: one request (and, on a TLS
// session, every further request already decrypted). -1 ends the session.
int dispatchUsbRequest(UsbPollRecord* session);

// The handler table. Opcodes whose handlers belong to the device operations
// (4, 5, 6, 8, 11, 12, 13, 21, 25) start with a handler that consumes the
// body and answers status 3, error 3, as for an unserved request, until
// installUsbDeviceHandlers puts the real ones in. Returns the handler it
// replaced; null for an opcode outside 1 to 29.
UsbRequestHandler setUsbRequestHandler(uint32_t opcode, UsbRequestHandler handler);
UsbRequestHandler usbRequestHandler(uint32_t opcode);

// The most body bytes dropped for a request that is refused without reading
// them; a request announcing more ends the session.
constexpr uint64_t kUsbMaxSkippedBody = 16u << 20;
