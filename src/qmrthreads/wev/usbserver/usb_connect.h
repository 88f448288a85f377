// The operations that take a device for a client session and give it back,
// and those that act on a device as a whole: connect (opcode 25), disconnect
// (6), set configuration (21), the claim test (4), release interface (5),
// clear halt (12), reset (13), and the administrator's disconnect from the
// web interface.
//
// A row connected to another session is never acted on: every operation
// answers status 5, error 12 for it and touches nothing. Connect checks the
// port's access filter and TLS rule before it takes a row from its owner, so
// a client that is refused cannot take a device from anybody.
#pragma once

#include <cstdint>

#include "usbserver/usb_protocol.h"

struct UsbPollRecord;

// The port release request of the board's kernel fails and the model
// switches port power: the port goes dark this long.
constexpr int kUsbPowerCycleTicks = 100;
// How long a connect waits for another session to let go of the row.
constexpr int kUsbTakeOverTicks = 1000;
// Pre-reset: the device gets this long to come back before it is opened
// again.
constexpr int kUsbPreResetMs = 1000;

// Request handlers (usb_dispatch.h). Each reads its whole body and sends
// its reply; -1 ends the session.
int handleConnect(UsbPollRecord* session, const UsbRequestHeader* request);
int handleDisconnect(UsbPollRecord* session, const UsbRequestHeader* request);
int handleSetConfiguration(UsbPollRecord* session, const UsbRequestHeader* request);
int handleClaimTest(UsbPollRecord* session, const UsbRequestHeader* request);
int handleReleaseInterface(UsbPollRecord* session, const UsbRequestHeader* request);
int handleClearHalt(UsbPollRecord* session, const UsbRequestHeader* request);
int handleResetDevice(UsbPollRecord* session, const UsbRequestHeader* request);

// From the web interface, on any thread: every row on the port that is not
// free publishes its disconnect and is marked for a deferred reset; its
// owner, when there is one, is sent notice 19 by its own session thread.
// The owner and the state stay. Returns 1.
int adminDisconnectPort(int port);

// The owner gives up everything of a row it holds open: the poll record,
// the device file, its transfers (answered with status 2, error 32 while
// session is not null). The ownership itself stays.
void closeOwnedRow(UsbPollRecord* session, int row);

// Interfaces of the row's kernel drivers are handed to usbfs (a kernel
// that has class drivers binds them at plug and after a reset); claimed
// ones and free ones are left alone. The number detached.
int detachKernelDrivers(int row, int fd);

// Installs the handlers of opcodes 4, 5, 6, 12, 13, 21 and 25, and with
// them those of the transfers (usb_urb.h), in the dispatcher.
void installUsbDeviceHandlers();
