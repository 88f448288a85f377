// Notices: frames the box sends a client on its own, outside any request
// (its device vanished, the administrator disconnected it). Any thread may
// post one to a session; the session queues it and sends it between two
// requests on its own connection (flushUsbNotices, usb_session_io.h), so a
// notice never lands inside a reply.
#pragma once

#include <cstdint>

struct UsbPollRecord;

// TaskMessage code that asks a session to send a notice: arg1 the notice's
// opcode (17 or 19), arg2 the row | port << 8.
constexpr uint32_t MSG_USB_NOTICE = 0x40000;

// Notices waiting for their session to send them between two requests.
constexpr int kUsbNoticeQueueSize = 64;
struct UsbPendingNotice {
    uint8_t opcode;
    uint8_t row;
    uint8_t port;
};

// Posts notice opcode {row, port} to the session running as task taskId; it
// is sent between two requests on that session's own connection. 0, or -1
// when no such task runs.
int postUsbNotice(int taskId, uint32_t opcode, int row, int port);

// The session's own side: queues the notice in its socket record. -1 when
// the queue is full (the notice is dropped and counted).
int queueUsbNotice(UsbPollRecord* session, uint32_t opcode, int row, int port);
