// A session's reads and writes on its client connection: the request
// header and body, a body skipped, replies, statuses and the queued
// notices. Only the session's own thread calls these (usb_session.h); every
// read is bounded by its time-out and every frame leaves in one send, so a
// notice never lands inside a reply.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "usbserver/usb_protocol.h"

struct UsbPollRecord;

// Reads exactly n bytes within ms: n, or the first receive result below 1
// (0 or a connection result code; kConnTimedOut when the time ran out). The
// first complete read of a TLS session stores its TLS description. Bytes
// that arrived beyond n stay in the session's receive buffer for the next
// read.
int connRead(UsbPollRecord* record, void* buffer, int n, int ms);
// Bytes of the client wait in the receive buffer: the socket will not
// report them again, so their requests are served without a wait.
bool hasReceivedBytes(const UsbPollRecord* record);
// Sends n bytes within ms: the bytes sent, or a negative result.
int connWrite(UsbPollRecord* record, const void* buffer, int n, int ms);
// Sends the pieces as one frame: the total, or a negative result.
int connWritev(UsbPollRecord* record, const iovec* pieces, int count, int ms);

// Reads one request header whole (with the body time-out) and decodes it;
// 1 when it came whole, 0 when it did not (the session cannot go on).
int readUsbRequestHeader(UsbPollRecord* session, UsbRequestHeader* request);
// Reads a body of exactly n bytes into buffer; 1 when it came whole, 0 when
// it did not (the session cannot go on in step).
int readUsbBody(UsbPollRecord* session, void* buffer, size_t n);
// Reads and drops n bytes of body; 1 when all of them came.
int skipUsbBody(UsbPollRecord* session, uint64_t n);

// Sends the reply header and its data as one frame (10 s). 0, or -1 when it
// could not be sent whole.
int sendUsbReply(UsbPollRecord* session, const UsbReplyHeader& reply, const void* data, size_t length);
// The reply to request with status and error and no data.
int sendUsbStatus(UsbPollRecord* session, const UsbRequestHeader* request, uint32_t status, uint32_t error);

// Sends the notices queued for this session; 0, or -1 when the connection
// failed.
int flushUsbNotices(UsbPollRecord* socketRecord);
