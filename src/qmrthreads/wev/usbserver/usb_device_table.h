// The table of USB devices plugged into the box: 40 rows, statically
// allocated for the whole run, filled by the device scan (usb_scan.h) from
// the kernel's sysfs tree, read by the sharing protocol, the status
// publishing, the pages and the mails.
//
// Locks, always taken in this order, none held across a publish call:
//   1. the scan mutex (inside rescanUsbDevices only);
//   2. the list mutex (lockUsbList): held by every writer of a row's texts
//      and identity (the scan's copy into a free row, the usb.ids names,
//      reset) and by every reader of them from another thread (the device
//      list, getUsbSlotText); the row texts are always NUL-terminated;
//   3. a row's mutex (muxIn/muxOut, UsbRowLock): state changes, matching,
//      devnum, fd, owner, the owner requests;
//   4. a row's string cache mutex (inside the string cache functions only).
//
// Ownership of a connected row, and the drop-owner protocol:
//   - A client session owns a row from claimSlotOwnership to
//     releaseSlotOwnership. Only the owning session's thread ever touches the
//     row's usbfs descriptor (fd), its poll records (pollRecord, owner), its
//     transfer sets (urbList) and its client connection: it alone submits,
//     reaps, closes, frees, and writes notices on its connection.
//   - Every other thread that needs the owner gone (the scan when the device
//     vanished, an open that found the device gone, another session's
//     connect) calls dropSlotOwner(row). That only records the request in the
//     row (ownerRequests, kUsbOwnerDrop) and posts the owner's task a
//     TaskMessage {code MSG_USB_ROW_REQUEST, arg1 = row}; it never closes or
//     frees anything itself.
//   - The message only wakes the owner: it carries the request out between
//     two client requests, never in the middle of one, looking at
//     ownerRequests of its rows on every pass of its loop (so a message lost
//     to a full pipe loses nothing): takeOwnerRequests(row) returns and
//     clears the bits; on kUsbOwnerDrop the session discards and reaps what
//     it can, closes the row's fd (closeDevice), answers every transfer set
//     still open with status 2 / error 32 and frees them (freeRowTransfers
//     frees what is left once the fd is closed), sends notice 17 {row, port}
//     on its own connection, publishes the disconnect, destroys its poll
//     record of the row and finally calls releaseSlotOwnership.
//   - releaseSlotOwnership clears the owner; a row still connected becomes
//     present, a row the scan marked gone meanwhile stays gone.
//   - The scan frees a row gone for 100 ticks (reset) only once it is
//     released: no owner and no open fd. Until then every scan posts the
//     drop request again, so a row is never re-used under a session that
//     still holds its descriptor.
//   - A session that wants to take a row from another one waits for the
//     release with takeSlotFromOwner, bounded; when the owner does not let go
//     in time (busy, or itself waiting to take a row of ours) the request is
//     taken back and both keep what they had.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

struct UsbPollRecord;  // the sessions' epoll binding of a descriptor

constexpr int kUsbTableRows = 40;
constexpr int kUsbTextSize = 64;          // 63 characters and the NUL
constexpr int kUsbClientNameSize = 33;    // 32 characters and the NUL
constexpr int kUsbMaxConfigurations = 8;
constexpr int kUsbMaxInterfaceNumbers = 64;

// Row states.
enum : int {
    kUsbSlotFree = 0,
    kUsbSlotGone = 1,
    kUsbSlotPresent = 2,
    kUsbSlotConnected = 3,
};

// Speeds as the device list carries them.
enum : int {
    kUsbSpeedUnknown = 0,
    kUsbSpeedLow = 1,
    kUsbSpeedFull = 2,
    kUsbSpeedHigh = 3,
    kUsbSpeedSuper = 5,
};

// TaskMessage code that tells a session to look at a row's ownerRequests.
// arg1 is the row.
constexpr uint32_t MSG_USB_ROW_REQUEST = 0x20000;

// Bits of UsbDeviceSlot::ownerRequests.
enum : uint32_t {
    kUsbOwnerDrop = 0x1,  // give the row up: the device vanished or another session takes it
};

// What the sysfs tree tells about one device: the part of a row that the
// scan reads and copies into the table. Texts are always NUL-terminated.
struct UsbDeviceInfo {
    int speed = kUsbSpeedUnknown;
    int busnum = 0;
    int depth = 0;              // 1 + the dots of the devpath
    int parent = -1;            // no parent is tracked
    uint32_t devpathHash = 0;
    int devnum = 0;
    int versionMajor = 0;
    int versionMinor = 0;
    int deviceClass = 0;
    int deviceSubClass = 0;
    int idVendor = 0;
    int idProduct = 0;
    int bcdDeviceHigh = 0;
    int bcdDeviceLow = 0;
    char manufacturer[kUsbTextSize] = {};
    char product[kUsbTextSize] = {};
    char serial[kUsbTextSize] = {};
    int bMaxPower = 0;          // mA
    int devMajor = 0;
    int devMinor = 0;
    int port = 0;               // physical port 1..20; 0 = in the table, never published

    // Creates "/dev/bus/usb/BBB" and the device node BBB/DDD (devMajor:
    // devMinor) when missing; 0 when that failed (said on stderr).
    int makeDevNode() const;
};

// One configuration as cached at attach: its 9-byte descriptor and the
// interface numbers of its alternate-setting-0 interfaces, in descriptor
// order. Claims and releases use claimCount(), never more numbers than were
// actually seen, whatever the descriptor's bNumInterfaces says.
struct UsbConfigRecord {
    uint8_t descriptor[9];
    uint8_t interfaceNumbers[kUsbMaxInterfaceNumbers];
    uint8_t interfaceNumberCount;

    int bNumInterfaces() const { return descriptor[4]; }
    int bConfigurationValue() const { return descriptor[5]; }
    int claimCount() const
    {
        return bNumInterfaces() < interfaceNumberCount ? bNumInterfaces() : interfaceNumberCount;
    }
};

// One cached string descriptor; length 0 records that it could not be read.
struct UsbStringEntry {
    UsbStringEntry* next;
    uint8_t index;
    uint16_t language;
    int length;
    uint8_t bytes[];  // length bytes: bLength, type 3, UTF-16LE text
};

// Most entries a row's string cache holds: any client may ask for any
// (language, index), so without a bound the cache would grow for as long as
// the device stays. Beyond it strings are read from the device each time.
constexpr int kUsbStringCacheLimit = 256;

// A node of a row's transfer list (circular, doubly linked, with a bare node
// as the head). The URB engine's transfer set derives from it; deleting a
// node through this base runs the set's own clean-up.
struct UrbListNode {
    UrbListNode* next = this;
    UrbListNode* prev = this;
    virtual ~UrbListNode() = default;

    UrbListNode() = default;
    UrbListNode(const UrbListNode&) = delete;
    UrbListNode& operator=(const UrbListNode&) = delete;
};

// Transfer sets alive (made and not yet destroyed); the URB engine counts
// them in its set's constructor and destructor.
extern std::atomic<int> usbUrbPopulation;

// The endpointCounts indexes.
enum : int {
    kEpInControl = 0, kEpInIsochronous, kEpInBulk, kEpInInterrupt,
    kEpOutControl, kEpOutIsochronous, kEpOutBulk, kEpOutInterrupt,
};

struct UsbDeviceSlot : UsbDeviceInfo {
    UsbDeviceSlot();
    UsbDeviceSlot(const UsbDeviceSlot&) = delete;
    UsbDeviceSlot& operator=(const UsbDeviceSlot&) = delete;

    // --- state, read by any thread without a lock; written under the row lock
    std::atomic<int> state{kUsbSlotFree};
    std::atomic<uint8_t> unseen{0};      // scan mark
    std::atomic<uint32_t> goneTick{0};   // boardTicks when the row became gone
    std::atomic<uint8_t> resetPending{0};
    // True once the attach of this row was published; a detach is published
    // only for such a row.
    std::atomic<bool> attachPublished{false};

    // --- the usbfs descriptor: opened and closed only by its holder (the
    // owner while connected; see the protocol above)
    std::atomic<int> fd{-1};

    // --- ownership (row lock)
    UsbPollRecord* owner = nullptr;       // the owning session's socket record
    UsbPollRecord* pollRecord = nullptr;  // the owner's record of fd
    std::atomic<int> ownerTaskId{0};      // the owning session's task; 0 none
    std::atomic<uint32_t> ownerRequests{0};
    // The owner's peer address, copied at claim, so that other threads never
    // touch the owner's records (getOwnerAddress, the pages).
    sockaddr_storage ownerPeer{};
    socklen_t ownerPeerLength = 0;
    // The name the owner's client gave at its connect, as it was published
    // (empty when it gave none), for the readers of the table's view.
    char ownerName[kUsbClientNameSize] = {};

    // --- descriptor caches (filled once at attach by readDescriptors)
    uint8_t languageKnown = 0;
    int language = 0;
    uint8_t deviceDescriptor[18] = {};
    int selectedConfig = -1;                              // index into configCache
    UsbConfigRecord configCache[kUsbMaxConfigurations] = {};
    int configCacheCount = 0;                             // bNumConfigurations read
    uint8_t endpointCounts[8] = {};
    uint8_t configCount = 0;
    uint8_t interfaceCount = 0;
    uint8_t isVideo = 0;

    // --- the owner's transfer sets
    UrbListNode urbList;

    // --- locks
    pthread_mutex_t mutex;
    pthread_mutex_t stringMutex;  // the string cache below
    UsbStringEntry* stringCache = nullptr;
    int stringCacheEntries = 0;

    // Initial values (no lock; the table's construction and reset use it).
    void init();

    // Same device as the scanned one (under the row lock). A devnum that
    // changed matches only above usbDevnumThreshold and is then taken; a
    // match clears the unseen mark.
    bool matches(const UsbDeviceInfo& scanned);

    // Opens "/dev/bus/usb/BBB/DDD" (boxPath) with flags (O_RDWR, or O_RDONLY
    // for a short-lived second descriptor). out null: into the row's own fd,
    // refused with 0 while that is open. Returns 1, 0 (refused) or -errno.
    // An open that finds the device gone (ENOENT, ENODEV, ENXIO) marks the
    // row gone: its detach is published and its owner asked to drop it.
    // Other errors (EMFILE, ENOMEM, EBUSY, ...) only fail this call.
    int openDevice(int flags, int* out);
    // Closes the row's fd (its holder only); 1 when one was open.
    int closeDevice();

    // Reads the descriptors and names once at attach (usb_descriptors.cpp):
    // open, fetchDescriptors, readNameStrings, close. 1 on success, 0 when
    // the descriptors could not be read, -1 when the file could not be opened.
    int readDescriptors();
    // The device's own strings into the string cache, through the row's fd;
    // always 1.
    int readNameStrings();
    // One string as single-byte text ('?' for characters above 0xFF): the
    // count, or a negative value. Uses the row's fd.
    int readStringAscii(int index, char* text, int size);
    // One string descriptor from the device through fd, cached; the number
    // of bytes, or a negative value.
    int readStringDescriptor(int fd, int lang, int index, uint8_t* buffer, int size);
    // Store (unless that language and index are cached already, or the cache
    // is full) and look up; cachedString gives the length copied (at most
    // size), 0 for a recorded failure, -1 when absent.
    void cacheString(int lang, int index, const uint8_t* bytes, int length);
    int cachedString(int lang, int index, uint8_t* buffer, int size);
    void clearStringCache();
    // Clears the strings, zeroes the device descriptor and the configuration
    // records.
    void freeCaches();

    // Frees the row for re-use (list mutex, then the row lock): closes an
    // open fd, frees the transfer sets and the caches, re-initialises. Only
    // for a row nobody holds any more (see the protocol above).
    void reset();
};

extern UsbDeviceSlot usbDeviceTable[kUsbTableRows];
// Rows in use for this model, and the depth above which a device that came
// back with a new device number keeps its row. Set once by configureUsbTable.
extern std::atomic<int> usbRowCount;
extern std::atomic<int> usbDevnumThreshold;

// Sets usbRowCount and usbDevnumThreshold for the product record's
// usbtable_product_id. The USB server's constructor calls it.
void configureUsbTable(uint32_t usbtableProductId);

// Row lock; a failure prints "muxIn error:0x<code>" and gives 0.
int muxIn(int row);
void muxOut(int row);

class UsbRowLock {
public:
    explicit UsbRowLock(int row) : row_(row), locked_(muxIn(row) != 0) {}
    ~UsbRowLock()
    {
        if (locked_)
            muxOut(row_);
    }
    bool locked() const { return locked_; }
    UsbRowLock(const UsbRowLock&) = delete;
    UsbRowLock& operator=(const UsbRowLock&) = delete;

private:
    int row_;
    bool locked_;
};

// The list mutex: on = 1 locks, 0 unlocks. 1 when done.
int lockUsbList(int on);

// 0 <= row < usbRowCount.
bool isValidSlot(int row);
// A valid row whose port is port and whose state is present or connected.
bool isSlotPresent(int row, int port);

// --- ownership (see the protocol at the top)

// Makes owner (running on task ownerTaskId) the owner of a present row, or
// confirms the same owner of a connected row; the peer address is copied.
// 1 done; 0 when the row is neither (gone, free, or another owner's).
int claimSlotOwnership(int row, UsbPollRecord* owner, int ownerTaskId, const sockaddr* peer,
                       socklen_t peerLength);
// The owner gives the row up (after closing fd and destroying its poll
// record): owner, pollRecord and the requests cleared, connected becomes
// present (gone stays gone). 1 done; 0 when owner is not the row's owner.
int releaseSlotOwnership(int row, UsbPollRecord* owner);
// Asks the owner of a connected row to give it up (kUsbOwnerDrop and a
// MSG_USB_ROW_REQUEST to its task). 1 when the row had an owner, else 0.
int dropSlotOwner(int row);
// Another session's connect takes the row: asks the owner to give it up and
// waits as waitForOwnerRelease does. When the owner has not let go in time
// the request is taken back, so an owner that was only slow keeps its
// device instead of losing it to nobody. 1 released, 0 timed out.
int takeSlotFromOwner(int row, int ticks);
// The owner's side: the requests posted to it since the last call, cleared.
uint32_t takeOwnerRequests(int row);
// Waits until the row has no owner, serving the calling task's messages (a
// thread that is no task just sleeps); ticks bounds the wait. 1 released,
// 0 timed out.
int waitForOwnerRelease(int row, int ticks);
// The owner's peer address, copied at claim, under the row lock: its length,
// 0 when the row is not connected.
socklen_t slotOwnerPeer(int row, sockaddr_storage* out);
// The owner records its client's name once its connect is published; name
// null or empty leaves it empty. 1 done; 0 when owner is not the row's owner.
int setSlotOwnerName(int row, const UsbPollRecord* owner, const char* name);

// Deletes every transfer set of the row's list (outside the row lock: a
// set's destructor may take it). Only with the row's fd closed: the kernel
// then holds none of their URBs.
void freeRowTransfers(int row);
