// One client of the USB sharing protocol: the "UsbSrvdPrcs" task that serves
// it, the loop that waits on its poll records (usb_poll_record.h) and
// carries out what other threads asked for between two requests, and the
// release of every device it held when it leaves or falls silent. Its reads
// and writes on the connection are in usb_session_io.h.
//
// Threads: everything in a session happens on the session's own thread. That
// thread alone reads and writes its connection, holds the usbfs descriptors
// of the rows it owns, and frees its poll records. Other threads reach a
// session only by messages to its task: a notice to send (usb_notice.h), or
// a row request of the device table (MSG_USB_ROW_REQUEST, see
// usb_device_table.h). Messages are only noted where they arrive (a wait may
// serve them in the middle of a request) and carried out between requests.
#pragma once

#include <sys/socket.h>

#include <atomic>

#include "core/task/task.h"
#include "usbserver/usb_poll_record.h"

class Connection;

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
// The client's address: IPv4 (also an IPv4-mapped IPv6 peer) as a 16-byte
// sockaddr_in, other IPv6 as sockaddr_in6. The length, or 0 on failure or
// when size is too small.
socklen_t getPeerAddress(const UsbPollRecord* record, sockaddr_storage* out, socklen_t size);

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
