#include "usbserver/usb_session_io.h"

#include <cstring>
#include <new>

#include "core/net/connection.h"
#include "core/task/tick_clock.h"
#include "usbserver/usb_poll_record.h"
#include "usbserver/usb_session_tls.h"

namespace {

constexpr size_t kSkipChunk = 4096;

// Room for several small requests with their bodies; a read that wants more
// than this goes straight into the caller's buffer.
constexpr int kReceiveSize = 8192;

int takeReceived(UsbPollRecord* record, uint8_t* to, int n)
{
    const int have = record->receivedEnd - record->receivedStart;
    const int take = have < n ? have : n;
    if (take <= 0)
        return 0;
    memcpy(to, record->received + record->receivedStart, static_cast<size_t>(take));
    record->receivedStart += take;
    if (record->receivedStart == record->receivedEnd)
        record->receivedStart = record->receivedEnd = 0;
    return take;
}

// One receive of what has arrived: into the caller's buffer when it wants at
// least a whole receive buffer, else into the receive buffer (then taken
// from there).
int receiveOnce(UsbPollRecord* record, Connection* c, uint8_t* to, int n, int64_t ticks)
{
    if (n >= kReceiveSize)
        return c->receiveSome(to, n, ticks);
    if (!record->received) {
        record->received = new (std::nothrow) uint8_t[kReceiveSize];
        if (!record->received)
            return c->receiveSome(to, n, ticks);
    }
    int r = c->receiveSome(record->received, kReceiveSize, ticks);
    if (r < 1)
        return r;
    record->receivedStart = 0;
    record->receivedEnd = r;
    return takeReceived(record, to, n);
}

} // namespace

int connRead(UsbPollRecord* record, void* buffer, int n, int ms)
{
    Connection* c = record ? record->connection : nullptr;
    if (!c)
        return kConnNoSocket;
    auto* p = static_cast<uint8_t*>(buffer);
    int got = takeReceived(record, p, n);
    const int64_t limit = ms / 10;
    const uint64_t start = got < n ? boardTicks() : 0;
    while (got < n) {
        // One bound for the whole read: a client trickling bytes cannot
        // stretch it.
        int64_t left = limit - static_cast<int64_t>(boardTicks() - start);
        if (left <= 0)
            return kConnTimedOut;
        int r = receiveOnce(record, c, p + got, n - got, left);
        if (r < 1)
            return r;
        got += r;
    }
    if (!record->tlsInfoDone)
        storeTlsInfo(record);
    return n;
}

bool hasReceivedBytes(const UsbPollRecord* record)
{
    return record && record->receivedEnd > record->receivedStart;
}

int connWrite(UsbPollRecord* record, const void* buffer, int n, int ms)
{
    Connection* c = record ? record->connection : nullptr;
    if (!c)
        return -1;
    return c->send(buffer, n, ms / 10, false);
}

int connWritev(UsbPollRecord* record, const iovec* pieces, int count, int ms)
{
    Connection* c = record ? record->connection : nullptr;
    if (!c)
        return -1;
    // The pieces leave as they lie (header and data are never copied into
    // one frame); only this thread writes the connection, so nothing can
    // come between them.
    return c->sendv(pieces, count, ms / 10);
}

int readUsbRequestHeader(UsbPollRecord* session, UsbRequestHeader* request)
{
    uint8_t raw[kUsbRequestHeaderSize];
    // The socket is readable: a header that is only partly there is waited
    // for, never taken as the end of the peer or dropped half-read.
    if (connRead(session, raw, sizeof raw, kUsbBodyTimeoutMs) != static_cast<int>(sizeof raw))
        return 0;
    decodeUsbRequestHeader(raw, request);
    return 1;
}

int readUsbBody(UsbPollRecord* session, void* buffer, size_t n)
{
    if (n == 0)
        return 1;
    return connRead(session, buffer, static_cast<int>(n), kUsbBodyTimeoutMs) == static_cast<int>(n);
}

int skipUsbBody(UsbPollRecord* session, uint64_t n)
{
    uint8_t chunk[kSkipChunk];
    while (n > 0) {
        size_t part = n < sizeof chunk ? static_cast<size_t>(n) : sizeof chunk;
        if (!readUsbBody(session, chunk, part))
            return 0;
        n -= part;
    }
    return 1;
}

int sendUsbReply(UsbPollRecord* session, const UsbReplyHeader& reply, const void* data, size_t length)
{
    uint8_t head[kUsbReplyHeaderSize];
    encodeUsbReplyHeader(reply, head);
    iovec pieces[2] = {{head, sizeof head}, {const_cast<void*>(data), length}};
    const int count = data && length ? 2 : 1;
    const int total = static_cast<int>(sizeof head + (count == 2 ? length : 0));
    return connWritev(session, pieces, count, kUsbBodyTimeoutMs) == total ? 0 : -1;
}

int sendUsbStatus(UsbPollRecord* session, const UsbRequestHeader* request, uint32_t status, uint32_t error)
{
    UsbReplyHeader reply = usbReplyFor(*request);
    reply.status = status;
    reply.error = status == kUsbStatusDone ? 0 : error;
    return sendUsbReply(session, reply, nullptr, 0);
}

int flushUsbNotices(UsbPollRecord* session)
{
    int result = 0;
    for (int i = 0; i < session->noticeCount && result == 0; ++i) {
        const UsbPendingNotice& n = session->notices[i];
        uint8_t frame[kUsbNoticeSize];
        encodeUsbNotice(n.opcode, n.row, n.port, frame);
        if (connWrite(session, frame, sizeof frame, kUsbBodyTimeoutMs) != static_cast<int>(sizeof frame))
            result = -1;
    }
    session->noticeCount = 0;
    return result;
}
