#include "usbserver/usb_dispatch.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/params/param.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "core/task/tick_clock.h"
#include "usbserver/usb_access.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_poll_record.h"
#include "usbserver/usb_session_io.h"
#include "usbserver/usb_session_tls.h"

namespace {

// The result of an opcode that is accepted and ignored.
constexpr int kIgnored = 3;
constexpr size_t kHostNameMax = 64;
constexpr int kBusyMaskRows = 32;

int endSession(UsbPollRecord*, const UsbRequestHeader*)
{
    return -1;
}

int ignoreRequest(UsbPollRecord*, const UsbRequestHeader*)
{
    return kIgnored;
}

int replyOrEnd(UsbPollRecord* session, const UsbReplyHeader& reply, const void* data, size_t length)
{
    return sendUsbReply(session, reply, data, length) < 0 ? -1 : 0;
}

int handleVersion(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t data[kUsbVersionDataSize];
    encodeUsbVersionData(data);
    UsbReplyHeader reply = usbReplyFor(*request);
    reply.length = sizeof data;
    reply.status = kUsbStatusFailed;
    reply.error = kUsbErrorVersion;
    return replyOrEnd(session, reply, data, sizeof data);
}

int handleOldDeviceList(UsbPollRecord* session, const UsbRequestHeader* request)
{
    return sendUsbStatus(session, request, kUsbStatusFailed, kUsbErrorVersion);
}

int handleVersionRows(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t data[kUsbVersionRowsDataSize];
    encodeUsbVersionRowsData(usbRowCount.load(), data);
    UsbReplyHeader reply = usbReplyFor(*request);
    reply.length = sizeof data;
    return replyOrEnd(session, reply, data, sizeof data);
}

int handleHeartbeat(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t value[4];
    if (!readUsbBody(session, value, sizeof value))
        return -1;
    session->activityTick = static_cast<uint32_t>(boardTicks());
    UsbReplyHeader reply = usbReplyFor(*request);
    reply.length = sizeof value;
    return replyOrEnd(session, reply, value, sizeof value);
}

// No transfer can be found before the URB engine installs its own handler,
// which is the answer this one gives: status 0.
int handleDiscardUrb(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t id[4];
    if (!readUsbBody(session, id, sizeof id))
        return sendUsbStatus(session, request, kUsbStatusFailed, EPROTO);
    return sendUsbStatus(session, request, kUsbStatusDone, 0);
}

int handleBusyMask(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint32_t mask = 0;
    const int rows = usbRowCount.load();
    for (int row = 0; row < rows && row < kBusyMaskRows && row < kUsbTableRows; ++row) {
        if (usbDeviceTable[row].state.load() == kUsbSlotConnected)
            mask |= 1u << row;
    }
    uint8_t data[4];
    usbPutU32(data, mask);
    UsbReplyHeader reply = usbReplyFor(*request);
    reply.length = sizeof data;
    return replyOrEnd(session, reply, data, sizeof data);
}

int handleHostName(UsbPollRecord* session, const UsbRequestHeader* request)
{
    UsbReplyHeader reply = usbReplyFor(*request);
    std::shared_ptr<const std::string> name = params::sys_name()->value();
    if (!name) {
        reply.error = kUsbErrorNoText;
        return replyOrEnd(session, reply, nullptr, 0);
    }
    size_t length = name->size() < kHostNameMax ? name->size() : kHostNameMax;
    reply.length = static_cast<uint32_t>(length);
    return replyOrEnd(session, reply, name->data(), length);
}

// The tag of a port, or "" when it has none.
std::string portTag(int port)
{
    const StringParam* p = params::zyt_tag(port);
    if (!p)
        return std::string();
    std::shared_ptr<const std::string> text = p->value();
    return text ? *text : std::string();
}

int handleTagList(UsbPollRecord* session, const UsbRequestHeader* request)
{
    const int ports = static_cast<int>(productInfo().usb_ports_phy);
    std::string tags[21];
    size_t size = 1;
    for (int port = 1; port <= ports && port <= 20; ++port) {
        if (!isPortOnVlan(port, session))
            continue;
        tags[port] = portTag(port);
        if (!tags[port].empty())
            size += tags[port].size() + 2;
    }
    // Sized by the bytes of the texts themselves: a tag of 32 characters may
    // be longer than 32 bytes.
    UsbReplyHeader reply = usbReplyFor(*request);
    auto* data = static_cast<uint8_t*>(malloc(size));
    if (!data) {
        reply.error = kUsbErrorNoText;
        return replyOrEnd(session, reply, nullptr, 0);
    }
    size_t at = 0;
    for (int port = 1; port <= ports && port <= 20; ++port) {
        if (tags[port].empty())
            continue;
        data[at++] = static_cast<uint8_t>(port);
        memcpy(data + at, tags[port].data(), tags[port].size());
        at += tags[port].size();
        data[at++] = 0;
    }
    data[at++] = 0;
    reply.length = static_cast<uint32_t>(at);
    int result = replyOrEnd(session, reply, data, at);
    free(data);
    return result;
}

// The device operations before their handlers are installed: the body is
// consumed, so the stream stays in step, and the request is answered as an
// unserved one.
int answerUnserved(UsbPollRecord* session, const UsbRequestHeader* request, uint64_t bodySize)
{
    if (bodySize > kUsbMaxSkippedBody || !skipUsbBody(session, bodySize))
        return -1;
    return sendUsbStatus(session, request, kUsbStatusFailed, kUsbErrorVersion);
}

int unservedRowPort(UsbPollRecord* session, const UsbRequestHeader* request)
{
    return answerUnserved(session, request, 2);
}

int unservedRowPortByte(UsbPollRecord* session, const UsbRequestHeader* request)
{
    return answerUnserved(session, request, 3);
}

int unservedConnect(UsbPollRecord* session, const UsbRequestHeader* request)
{
    return answerUnserved(session, request, 34);
}

int unservedSetConfiguration(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t head[4];
    if (!readUsbBody(session, head, sizeof head))
        return -1;
    const uint64_t pairs = head[2] != 0 && head[3] != 0 ? 2u * head[3] : 0;
    return answerUnserved(session, request, pairs);
}

int unservedTransfer(UsbPollRecord* session, const UsbRequestHeader* request)
{
    uint8_t body[12];
    if (!readUsbBody(session, body, sizeof body))
        return -1;
    uint64_t rest = usbGetU32(body + 8);
    if (body[3] == 0)
        rest += static_cast<uint64_t>(request->word0 >> 8) * 16;
    return answerUnserved(session, request, rest);
}

std::atomic<UsbRequestHandler> handlers[kUsbOpHighest + 1] = {
    endSession,                // 0
    handleVersion,             // 1
    handleOldDeviceList,       // 2
    ignoreRequest,             // 3
    unservedRowPortByte,       // 4 claim test
    unservedRowPortByte,       // 5 release interface
    unservedRowPort,           // 6 disconnect
    ignoreRequest,             // 7
    unservedTransfer,          // 8 transfer
    handleDiscardUrb,          // 9
    endSession,                // 10
    unservedRowPortByte,       // 11 discard by endpoint
    unservedRowPortByte,       // 12 clear halt
    unservedRowPort,           // 13 reset
    endSession,                // 14
    endSession,                // 15
    handleHeartbeat,           // 16
    endSession,                // 17
    ignoreRequest,             // 18
    endSession,                // 19
    ignoreRequest,             // 20
    unservedSetConfiguration,  // 21
    handleTagList,             // 22
    handleBusyMask,            // 23
    handleHostName,            // 24
    unservedConnect,           // 25 connect
    handlePortStatus,          // 26
    handleVersionRows,         // 27
    endSession,                // 28
    handleDeviceList,          // 29
};

bool setsNonce(uint32_t opcode)
{
    return opcode == kUsbOpVersion || opcode == kUsbOpVersionRows;
}

int dispatchOne(UsbPollRecord* session)
{
    UsbRequestHeader request;
    if (!readUsbRequestHeader(session, &request))
        return -1;
    session->activityTick = static_cast<uint32_t>(boardTicks());

    UsbRequestHandler handler = usbRequestHandler(request.opcode);
    if (!handler)
        return -1;
    int result = handler(session, &request);
    if (setsNonce(request.opcode))
        session->nonce = result >= 0 ? usbTagValue(request) : 0;
    if (result >= 0)
        session->servedRequest = true;
    return result;
}

bool tlsPending(UsbPollRecord* session)
{
    const UsbTlsOps* ops = usbTlsOps();
    return ops && ops->pending && session->connection && ops->pending(session->connection) > 0;
}

} // namespace

UsbRequestHandler setUsbRequestHandler(uint32_t opcode, UsbRequestHandler handler)
{
    if (opcode < 1 || opcode > kUsbOpHighest)
        return nullptr;
    return handlers[opcode].exchange(handler ? handler : endSession);
}

UsbRequestHandler usbRequestHandler(uint32_t opcode)
{
    return opcode <= kUsbOpHighest ? handlers[opcode].load() : endSession;
}

int dispatchUsbRequest(UsbPollRecord* session)
{
    int result = dispatchOne(session);
    // Requests already read into the receive buffer, or already decrypted by
    // a TLS session, never make the socket readable again: serve them now,
    // or a client waiting for their answers would wait for ever.
    while (result >= 0 && (hasReceivedBytes(session) || tlsPending(session))) {
        if (flushUsbNotices(session) < 0)
            return -1;
        result = dispatchOne(session);
    }
    if (result >= 0 && flushUsbNotices(session) < 0)
        return -1;
    return result < 0 ? -1 : result;
}
