// The URB engine: a client's transfer request (opcode 8) becomes a set of
// usbfs URBs on the connected device's file; completions are reaped on the
// session thread when the file signals them, and the results go back to the
// client as URB answers tagged with the request's URB id.
//
// Rules the engine keeps, whatever happens to a transfer:
//   - Every URB id gets exactly one final answer (0x1008); IN transfers may
//     get intermediate answers (0x101C) before it, one per URB that came
//     back full.
//   - A set is freed only when the kernel holds none of its URBs (nothing in
//     flight), or once the device file is closed (the kernel then holds none
//     at all).
//   - Bulk IN transfers on one endpoint run one at a time in arrival order;
//     whenever the running one ends, by any path, the next one starts.
//   - Every byte the client announces is read, also for a refused request,
//     so the stream stays in step.
//
// Threads: everything here runs on the owning session's thread, the only
// one that touches the row's descriptor and transfer list. The list is
// linked and unlinked under the row lock so that readers on other threads
// (the diagnostics page) may walk it under that lock.
#pragma once

#include <linux/usbdevice_fs.h>

#include <cstddef>
#include <cstdint>

#include "usbserver/usb_device_table.h"
#include "usbserver/usb_protocol.h"
#include "usbserver/usb_transfer_request.h"

struct UsbPollRecord;

// UrbSet::flags. Prepared and busy are whole values of the low bits; the
// others are added.
enum : uint32_t {
    kUrbPrepared = 0x1,        // queued behind a running bulk IN set
    kUrbBusy = 0x2,            // started; ends with its final answer
    kUrbStateMask = 0x3,
    kUrbDiscarded = 0x8,
    kUrbSent = 0x10,           // final answer sent
    kUrbError = 0x10000000,
    kUrbAborted = 0x20000000,
};

// usbfs URB types as the transfer request carries them.
enum : uint8_t {
    kUrbTypeIso = USBDEVFS_URB_TYPE_ISO,
    kUrbTypeInterrupt = USBDEVFS_URB_TYPE_INTERRUPT,
    kUrbTypeControl = USBDEVFS_URB_TYPE_CONTROL,
    kUrbTypeBulk = USBDEVFS_URB_TYPE_BULK,
};

// No URB is larger than this.
constexpr uint32_t kUrbMaxLength = 65536;
// OUT URBs of one set in the kernel at once (8 MiB): a large OUT transfer is
// read from the client and handed to the kernel this many URBs ahead, never
// all at once; usbfs holds at most 16 MiB of URB buffers for all its users.
// The window is wide so that a device that takes more OUT data only after
// the client has read some IN data (the client's IN request follows the
// OUT data in the stream) still gets it.
constexpr int kUrbOutWindow = 128;
// A transfer that is one URB (interrupt, bulk on a video device) is at most
// this long, usbfs's own limit; longer ones are refused with error 12.
constexpr uint32_t kUrbSingleLimit = 16u << 20;
// Transfer sets one row may hold (queued, running or waiting for their
// URBs); beyond, a request is refused like one that found no memory.
constexpr int kUrbSetsPerRow = 1024;
// While the window of an OUT transfer is full, how long the device may take
// no URB at all before the transfer is given up (ETIMEDOUT).
constexpr int kUrbOutStallMs = 30000;

// One client transfer: a node of its row's transfer list. Sets and their
// buffers come from the session's pool (usb_urb_pool.h) and go back to it.
struct UrbSet : UrbListNode {
    UrbSet() = default;
    ~UrbSet() override;

    // Back to a new set with slots URB records (zeroed), keeping the memory
    // of the records.
    void clear(int slots);

    int row = -1;
    uint8_t endpoint = 0;
    uint8_t type = 0;
    uint32_t flags = 0;
    uint32_t requestWord0 = 0;   // its low byte goes into every answer
    uint8_t urbId[4] = {};       // the request's tag, byte for byte
    uint32_t length = 0;         // IN length or OUT length
    int64_t remaining = 0;       // bytes not yet transferred
    uint32_t urbCount = 0;       // URBs the transfer is cut into
    uint32_t urbsSubmitted = 0;  // handed to the kernel, or failed to be
    uint32_t urbsDone = 0;       // given back: reaped, or failed to submit
    uint32_t urbsDiscarded = 0;
    uint32_t inFlight = 0;       // held by the kernel now
    bool feeding = false;        // its OUT data is still being read
    int errorStatus = 0;         // the first failure, as a negated errno
    uint32_t errorAnswer = 0;    // the status word that failure is answered with
    // The URB records the set cycles through (its window), and for each
    // whether the kernel holds it now.
    int slotCount = 0;
    int slotCapacity = 0;        // records the arrays have room for
    usbdevfs_urb* urbs = nullptr;
    uint8_t* inKernel = nullptr;

    bool isIn() const { return (endpoint & 0x80) != 0; }
    bool isBusy() const { return (flags & kUrbStateMask) == kUrbBusy; }
    bool isPrepared() const { return (flags & kUrbStateMask) == kUrbPrepared; }
    // Length of URB number index (0-based) of the transfer.
    int urbLength(uint32_t index) const;

    UrbSet(const UrbSet&) = delete;
    UrbSet& operator=(const UrbSet&) = delete;
};

// Transfer sets alive per row (all rows: usbUrbPopulation).
int urbSetCount(int row);

// --- request handlers (usb_dispatch.h)

// Opcode 8: a transfer request. Control transfers are performed at once
// (processCtrlReq); interrupt and bulk transfers are submitted and answered
// later from usb_srv_poll.
int submitUrb(UsbPollRecord* session, const UsbRequestHeader* request);
// Opcode 9: discards the transfer with this URB id, in the highest row this
// session owns that has one. Status 0 whether or not one was found; the
// transfer's own final answer follows.
int handleDiscardUrbById(UsbPollRecord* session, const UsbRequestHeader* request);
// Opcode 11: discards every transfer of one endpoint of a row this session
// owns; queued ones are answered at once (status 2, error 32), running ones
// when their URBs come back.
int handleAbortEndpoint(UsbPollRecord* session, const UsbRequestHeader* request);

// The handler of a connected device's poll record (usb_poll_record.h): reaps the
// completions that are ready and answers them. -1 when the kernel hands back
// a URB the row does not know (the session ends).
int usb_srv_poll(UsbPollRecord* record);

// --- the engine's parts, for the session and the device operations

// The first set of the row on endpoint (any endpoint for -1) with any of
// the flag bits (kUrbPrepared and kUrbBusy compare as whole values), in list
// order; under the row lock.
UrbSet* findUrbSetByEndpoint(int row, int endpoint, uint32_t mask);
// The set of the row whose URB id is id; under the row lock.
UrbSet* findUrbSetById(int row, const uint8_t id[4]);

// Discards a set: a queued one is aborted, the URBs of a running one are
// discarded in the kernel (they come back with an error and are answered
// then). 1 when the set needs nothing more from the kernel.
int discardUrbSet(int row, UrbSet* set);
// Discards every set of the row; sets that ended by it (queued, or whose
// discard failed) are answered now with status 2, error 32. -1 when an
// answer could not be sent.
int discardAllUrbSets(UsbPollRecord* session, int row);

// Sends the answer of URB index (a slot) of the set: data of a successful IN
// URB, the error, or the abort. A final answer marks the set sent. -1 when
// it could not be sent.
int sendUrbResult(UsbPollRecord* session, UrbSet* set, int index);
// Lets a set go without a further answer: one the kernel still holds URBs
// of is discarded and kept until they are back; any other is freed. 1 when
// freed.
int releaseUrbSet(UrbSet* set);

// After the row's file was closed (the kernel then holds no URB of it):
// every set not yet answered is answered with status 2, error 32 when
// session is not null, and every set is freed. -1 when an answer could not
// be sent (all sets are freed all the same).
int abortRowTransfers(UsbPollRecord* session, int row);

// The state words of a set's flags ("Busy Sent "...), for the diagnostics
// page; "Error!" for no set. Two buffers used in turn.
const char* urbStateText(const UrbSet* set);

// Installs the handlers of opcodes 8, 9 and 11 in the dispatcher.
void installUrbHandlers();
