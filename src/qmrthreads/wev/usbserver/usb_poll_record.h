// A session's poll records and its waits on them. The socket's record also
// carries the session's own state (its connection, its activity, its
// queued notices), so every part of a session reaches it from the record
// its handler is given.
//
// Threads: a record is made, waited on, and freed on its session's own
// thread only (usb_session.h).
#pragma once

#include <cstdint>

#include "core/task/task.h"
#include "usbserver/usb_notice.h"

class Connection;
struct UsbPollRecord;

using UsbRecordHandler = int (*)(UsbPollRecord* record);

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
    bool servedRequest = false; // a whole request of the client was handled
    uint32_t nonce = 0;        // tag of the last answered opcode 1 or 27
    uint8_t tlsInfoDone = 1;   // 1: the TLS description was stored or is not wanted
    bool counted = false;      // counted in usbSessionRuns
    UsbPendingNotice notices[kUsbNoticeQueueSize] = {};
    int noticeCount = 0;
    int droppedNotices = 0;
    // Bytes read from the client and not yet taken (usb_session_io.h): one
    // read brings a request's header, its body and what follows, as far as
    // they have arrived. Made at the first read.
    uint8_t* received = nullptr;
    int receivedStart = 0;
    int receivedEnd = 0;

    UsbPollRecord() = default;
    ~UsbPollRecord();
    UsbPollRecord(const UsbPollRecord&) = delete;
    UsbPollRecord& operator=(const UsbPollRecord&) = delete;

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

// The task id of the record's session, 0 when it has none.
int sessionTaskId(const UsbPollRecord* record);
// Takes the row's poll record out of the device table (under the row lock)
// and destroys it; nothing when the row has none.
void destroyRowPollRecord(int row);
