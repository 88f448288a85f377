// The byte layouts of the USB sharing protocol, written once: the 16-byte
// request header, the 24-byte reply header, the notices the box sends on its
// own, the version answers, the key list a client sends with the device list,
// the device list entry and the port status record. Every multi-byte number
// on the wire is big-endian; the tag is copied byte for byte.
//
// Only encoding and decoding live here; reading and writing the connection
// is the session's (usb_session_io.h), the meaning of each opcode the
// dispatcher's (usb_dispatch.h) and the access rules' (usb_access.h).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kUsbRequestHeaderSize = 16;
constexpr size_t kUsbReplyHeaderSize = 24;
// A notice is a request header (word 0 = 1, tag 0, length 2) and {row, port}.
constexpr size_t kUsbNoticeSize = kUsbRequestHeaderSize + 2;

// Replies carry the request's opcode plus this.
constexpr uint32_t kUsbReplyOpcodeBase = 0x1000;
// Every body read and every reply write is bounded by this.
constexpr int kUsbBodyTimeoutMs = 10000;

// Opcodes of the requests (and of the two notices).
enum : uint32_t {
    kUsbOpVersion = 1,
    kUsbOpOldDeviceList = 2,
    kUsbOpClaimTest = 4,
    kUsbOpReleaseInterface = 5,
    kUsbOpDisconnect = 6,
    kUsbOpTransfer = 8,
    kUsbOpDiscardUrb = 9,
    kUsbOpAbortEndpoint = 11,
    kUsbOpClearHalt = 12,
    kUsbOpResetDevice = 13,
    kUsbOpHeartbeat = 16,
    kUsbOpNoticeVanished = 17,         // notice: the owned device went away
    kUsbOpNoticeAdminDisconnect = 19,  // notice: the administrator disconnected the port
    kUsbOpSetConfiguration = 21,
    kUsbOpTagList = 22,
    kUsbOpBusyMask = 23,
    kUsbOpHostName = 24,
    kUsbOpConnect = 25,
    kUsbOpPortStatus = 26,
    kUsbOpVersionRows = 27,
    kUsbOpUrbIntermediate = 28,        // only as 0x101C, an URB answer with more to come
    kUsbOpDeviceList = 29,
    kUsbOpHighest = 29,
};

// Status word of a reply.
enum : uint32_t {
    kUsbStatusDone = 0,
    kUsbStatusLater = 1,    // answered later by an URB answer; never on the wire
    kUsbStatusGone = 2,     // device gone or transfer aborted
    kUsbStatusFailed = 3,   // the error word says why
    kUsbStatusRefused = 5,  // not the owner, access filter, TLS required
};

// Error words that are no errno.
enum : uint32_t {
    kUsbErrorNoText = 1,        // opcode 24 without host name, 22 without tag list
    kUsbErrorVersion = 3,       // opcodes 1 and 2
    kUsbErrorMappedRequest = 53,
};

struct UsbRequestHeader {
    uint32_t word0 = 0;
    uint32_t opcode = 0;
    uint8_t tag[4] = {};
    uint32_t length = 0;  // payload length; only the device list reads it
};

struct UsbReplyHeader {
    uint32_t word0 = 0;
    uint32_t opcode = 0;
    uint8_t tag[4] = {};
    uint32_t length = 0;
    uint32_t status = kUsbStatusDone;
    uint32_t error = 0;
};

inline uint16_t usbGetU16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline uint32_t usbGetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16
           | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void usbPutU16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void usbPutU32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void decodeUsbRequestHeader(const uint8_t in[kUsbRequestHeaderSize], UsbRequestHeader* out);
void encodeUsbRequestHeader(const UsbRequestHeader& header, uint8_t out[kUsbRequestHeaderSize]);
// The tag read as a big-endian number: the session nonce it makes.
uint32_t usbTagValue(const UsbRequestHeader& header);

// The reply to a request, status 0 and no data: opcode 0x1000 + opcode, the
// tag, and word 0 whole, or only its low byte for opcodes 1, 8 and 27.
UsbReplyHeader usbReplyFor(const UsbRequestHeader& request);
// Word 0 of a reply to that opcode keeps only its low byte.
bool usbReplyKeepsLowByte(uint32_t opcode);
void encodeUsbReplyHeader(const UsbReplyHeader& header, uint8_t out[kUsbReplyHeaderSize]);
void decodeUsbReplyHeader(const uint8_t in[kUsbReplyHeaderSize], UsbReplyHeader* out);

// Notice 17 or 19 about {row, port}.
void encodeUsbNotice(uint32_t opcode, uint8_t row, uint8_t port, uint8_t out[kUsbNoticeSize]);

// The version answers: opcode 1 three u16 {7, 0, 111}; opcode 27 the same
// and the number of table rows.
constexpr size_t kUsbVersionDataSize = 6;
constexpr size_t kUsbVersionRowsDataSize = 8;
void encodeUsbVersionData(uint8_t out[kUsbVersionDataSize]);
void encodeUsbVersionRowsData(int rows, uint8_t out[kUsbVersionRowsDataSize]);

// The key list of a device list request: "VEK" and c entries {port byte, 11
// crypt characters}, or "VEk" and c entries {port u16, 20-byte SHA-1}; the
// length is exactly 12c + 4 or 22c + 4, at most 444 bytes.
constexpr size_t kUsbKeyListMaxLength = 444;
constexpr size_t kUsbCryptAnswerSize = 11;
constexpr size_t kUsbDigestAnswerSize = 20;
constexpr int kUsbKeyListMaxEntries = static_cast<int>((kUsbKeyListMaxLength - 4) / 12);
// A list with more entries than this opens no keyed port at all.
constexpr int kUsbKeyListMaxChecked = 20;

struct UsbKeyEntry {
    uint16_t port;
    uint8_t answer[kUsbDigestAnswerSize];  // crypt form: the first 11 bytes
};

struct UsbKeyList {
    bool digest = false;
    int count = 0;
    UsbKeyEntry entries[kUsbKeyListMaxEntries] = {};
};

// false for a wrong magic or a length that does not fit the count.
bool parseUsbKeyList(const uint8_t* data, size_t length, UsbKeyList* out);

// One device list entry: {row, port, speed, 0, the 18-byte device descriptor
// with bcdUSB, idVendor, idProduct and bcdDevice turned big-endian}. The
// descriptor comes in USB byte order.
constexpr size_t kUsbDeviceEntrySize = 22;
void encodeUsbDeviceEntry(uint8_t row, uint8_t port, uint8_t speed, const uint8_t descriptor[18],
                          uint8_t out[kUsbDeviceEntrySize]);
// The device list's data starts with {count, 22 x count as u16}.
constexpr size_t kUsbDeviceListHeadSize = 3;
void encodeUsbDeviceListHead(int count, uint8_t out[kUsbDeviceListHeadSize]);

// Port status: a u32 state code, then for an IPv4 owner the record
// {3, 4, 0, 0, 0, a, b, c, d} and the owner's name.
enum : uint32_t {
    kUsbPortInUse = 1,
    kUsbPortTlsOnly = 2,
    kUsbPortFiltered = 5,  // or'ed in: reads 5 or 7 whatever the use
};
constexpr size_t kUsbOwnerRecordSize = 9;
constexpr size_t kUsbOwnerNameMax = 119;
// address: the four bytes of the IPv4 address in wire order.
void encodeUsbOwnerRecord(const uint8_t address[4], uint8_t out[kUsbOwnerRecordSize]);
