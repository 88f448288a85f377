// One client of the USB sharing protocol: the "UsbSrvdPrcs" task that serves
// it, its poll records, the reading and writing of its connection, and the
// release of every device it held when it leaves or falls silent.
//
// Threads: everything in a session happens on the session's own thread. That
// thread alone reads and writes its connection, holds the usbfs descriptors
// of the rows it owns, and frees its poll records. Other threads reach a
// session only by messages to its task: a notice to send (postUsbNotice), or
// a row request of the device table (MSG_USB_ROW_REQUEST, see
// usb_device_table.h). Messages are only noted where they arrive (a wait may
// serve them in the middle of a request) and carried out between requests.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/task/task.h"

class Connection;
struct UsbPollRecord;

// TaskMessage code that asks a session to send a notice: arg1 the notice's
// opcode (17 or 19), arg2 the row | port << 8.
constexpr uint32_t MSG_USB_NOTICE = 0x40000;

using UsbRecordHandler = int (*)(UsbPollRecord* record);

// Notices waiting for their session to send them between two requests.
constexpr int kUsbNoticeQueueSize = 64;
struct UsbPendingNotice {
    uint8_t opcode;
    uint8_t row;
    uint8_t port;
};

// Binds one descriptor (the client socket, or the completion descriptor of a
// connected device's usbfs file) to a handler in the session's epoll set.
struct UsbPollRecord {
    int fd = -1;
    EventSource source;        // {this record, dispatchPollEvent, fd}
    UsbRecordHandler handler = nullptr;
    uint32_t eventMask = 0;
    uint32_t lastEvents = 0;
    int errorMark = 0;         // -1 once a handler returned a negative value
    int row = -1;              // table row of a usbfs record
    Task* ownerTask = nullptr; // the session task; its epoll set holds the record
    UsbPollRecord* session = nullptr;  // the socket record of the session
    bool registered = false;
    uint64_t wakeTick = 0;     // boardTicks when the last wait ended, before its handlers ran

    // The socket record only.
    Connection* connection = nullptr;
    uint32_t activityTick = 0; // boardTicks of the last request or heartbeat
    uint32_t nonce = 0;        // tag of the last answered opcode 1 or 27
    uint8_t tlsInfoDone = 1;   // 1: the TLS description was stored or is not wanted
    bool counted = false;      // counted in usbSessionRuns
    UsbPendingNotice notices[kUsbNoticeQueueSize] = {};
    int noticeCount = 0;
    int droppedNotices = 0;

    // Records whose descriptor reported events wait here until the epoll
    // batch is over; their handlers run after it (see wait).
    bool ready = false;
    UsbPollRecord* nextReady = nullptr;
    // Freed records wait here until the epoll batch that may still name them
    // is over (see destroy).
    UsbPollRecord* nextDestroyed = nullptr;

    // A zeroed record for fd; null when memory is short.
    static UsbPollRecord* create(int fd, int row);
    // Registers record in the epoll set of socketRecord's session, with no
    // events yet. 0 or -1.
    static int attach(UsbPollRecord* socketRecord, UsbPollRecord* record);
    // Adds EPOLLIN|EPOLLHUP, or EPOLLOUT|EPOLLHUP (usbfs signals a completed
    // URB as writable). 0 or -1.
    int watchInput();
    int watchOutput();
    void setHandler(UsbRecordHandler h) { handler = h; }
    // One wait of the session's epoll set, then the handlers of the records
    // that had events: the number of events, 0 when the time ran out,
    // errorMark when a handler failed, -1 when the wait failed. wakeTick
    // tells when the events came, before any handler answered them.
    int wait(int ms);
    // Takes the record out of the epoll set and clears *record. The memory
    // is given back by the session thread once the current batch of events
    // is over, so a handler may destroy another record of the same batch.
    static void destroy(UsbPollRecord** record);
    // Frees the records destroyed on this thread so far.
    static void collectDestroyed();
};

// The EventSource callback of every poll record: notes the events. The
// handler runs once the batch of events is over: a handler's own waits
// serve the task's messages, and a message read there must not leave the
// batch with a pipe event whose message is gone.
int dispatchPollEvent(EventSource* source, uint32_t events);
// Runs the handlers of the records that had events on this thread; a
// negative result marks the record and its session.
void runReadyRecords();

// The session: serves requests until the client leaves, a handler fails or
// the client stays silent longer than `zyt_heartbeat`; then releases every
// row it owns. 0.
int usb_srv_thread(UsbPollRecord* socketRecord);

// Everything the session still owns: poll records out of the epoll set, the
// device reset (a failed reset on a model with port power switching powers
// the port off for one second instead), its transfers freed, the file
// closed, the disconnect published, the ownership given back.
void releaseConnectionPorts(UsbPollRecord* socketRecord);
// The rows of this session marked for a deferred reset: reset, file closed,
// poll record destroyed, open transfers answered as aborted; the row stays
// connected. -1 when an answer could not be sent.
int runDeferredResets(UsbPollRecord* socketRecord);
// Carries out the row requests posted to this session (a drop: the device
// vanished or another session takes it) and sends the queued notices.
// Negative when the connection failed.
int serveSessionRequests(UsbPollRecord* socketRecord);
// Posts notice opcode {row, port} to the session running as task taskId; it
// is sent between two requests on that session's own connection. 0, or -1
// when no such task runs.
int postUsbNotice(int taskId, uint32_t opcode, int row, int port);

// The client connection carries a TLS session.
bool isTlsSession(const UsbPollRecord* record);
// The client's address: IPv4 (also an IPv4-mapped IPv6 peer) as a 16-byte
// sockaddr_in, other IPv6 as sockaddr_in6. The length, or 0 on failure or
// when size is too small.
socklen_t getPeerAddress(const UsbPollRecord* record, sockaddr_storage* out, socklen_t size);

// The TLS layer's part in a session. Whoever builds TLS connections
// registers it; until then the USB server opens no TLS listener and every
// session is plain.
struct UsbTlsOps {
    // The server handshake, run on the session's own thread and bounded by
    // the TLS layer; 1 when the session is established.
    int (*serverHandshake)(Connection* connection);
    bool (*hasSession)(Connection* connection);
    // Decrypted bytes waiting inside the session.
    int (*pending)(Connection* connection);
    // The protocol and cipher text; 1 when written.
    int (*describe)(Connection* connection, char* buffer, size_t size);
};
void setUsbTlsOps(const UsbTlsOps* ops);
const UsbTlsOps* usbTlsOps();

// The TLS description of the last TLS session (the certificate page shows
// it); empty before any. Returns the length.
constexpr size_t kUsbTlsInfoSize = 140;
int usbTlsInfo(char* buffer, size_t size);
// Keeps the TLS description of the session's connection as the last one;
// the session's first complete read does it, once the handshake is over.
void storeTlsInfo(UsbPollRecord* session);

// Switching a port off for a while goes to the port power timers; a test
// may register another way to see the requests. Every request is counted.
using UsbPortPowerOff = void (*)(int portIndex, int ticks);
void setUsbPortPowerOff(UsbPortPowerOff op);
// Switches port index portIndex (0..19) off for ticks.
void usbPortPowerOff(int portIndex, int ticks);
int usbPortPowerOffRequests();

// Sessions inside usb_srv_thread, and UsbSrvdPrcs tasks alive (counted from
// their construction on the accepting thread, so a client still in its TLS
// handshake counts against the limit).
extern std::atomic<int> usbSessionRuns;
extern std::atomic<int> usbLiveClients;

// Tests: the longest single wait of a session (1000 ms normally); the quiet
// time that counts as a whole empty wait stays 5 s of board ticks.
void setUsbSessionSliceMsForTest(int ms);

// The "UsbSrvdPrcs" task of one accepted client. It owns the connection and
// the socket's poll record; created on the accepting thread, everything else
// happens on its own thread.
class UsbSrvdPrcs : public Task {
public:
    // tls: the connection came from a TLS listener and still needs its
    // handshake, which the task runs first on its own thread.
    UsbSrvdPrcs(UsbRecordHandler sessionHandler, Connection* connection, bool tls);
    ~UsbSrvdPrcs() override;

    void run() override;
    uint32_t onMessage(TaskMessage* msg) override;

    UsbPollRecord* socketRecord() const { return record_; }

private:
    void finish();

    UsbRecordHandler handler_;
    Connection* connection_;
    UsbPollRecord* record_;
    bool tls_;
    bool finished_ = false;
};
