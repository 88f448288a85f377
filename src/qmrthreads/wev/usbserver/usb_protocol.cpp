#include "usbserver/usb_protocol.h"

#include <cstring>
#include <initializer_list>

namespace {

// The protocol version the box reports: 7, the text "qmrVers7" read as a
// decimal number (which is 0), and 111.
constexpr uint16_t kVersionMajor = 7;
constexpr uint16_t kVersionText = 0;
constexpr uint16_t kVersionMinor = 111;

const char kCryptMagic[3] = {'V', 'E', 'K'};
const char kDigestMagic[3] = {'V', 'E', 'k'};
constexpr size_t kKeyListHeadSize = 4;
constexpr size_t kCryptEntrySize = 1 + kUsbCryptAnswerSize;
constexpr size_t kDigestEntrySize = 2 + kUsbDigestAnswerSize;

// A 16-bit field of a descriptor in USB (little-endian) order, turned round.
void swapField(uint8_t* out, const uint8_t* descriptor, size_t offset)
{
    out[offset] = descriptor[offset + 1];
    out[offset + 1] = descriptor[offset];
}

} // namespace

void decodeUsbRequestHeader(const uint8_t in[kUsbRequestHeaderSize], UsbRequestHeader* out)
{
    out->word0 = usbGetU32(in);
    out->opcode = usbGetU32(in + 4);
    memcpy(out->tag, in + 8, sizeof out->tag);
    out->length = usbGetU32(in + 12);
}

void encodeUsbRequestHeader(const UsbRequestHeader& header, uint8_t out[kUsbRequestHeaderSize])
{
    usbPutU32(out, header.word0);
    usbPutU32(out + 4, header.opcode);
    memcpy(out + 8, header.tag, sizeof header.tag);
    usbPutU32(out + 12, header.length);
}

uint32_t usbTagValue(const UsbRequestHeader& header)
{
    return usbGetU32(header.tag);
}

bool usbReplyKeepsLowByte(uint32_t opcode)
{
    return opcode == kUsbOpVersion || opcode == kUsbOpTransfer || opcode == kUsbOpVersionRows;
}

UsbReplyHeader usbReplyFor(const UsbRequestHeader& request)
{
    UsbReplyHeader reply;
    reply.word0 = usbReplyKeepsLowByte(request.opcode) ? request.word0 & 0xff : request.word0;
    reply.opcode = kUsbReplyOpcodeBase + request.opcode;
    memcpy(reply.tag, request.tag, sizeof reply.tag);
    return reply;
}

void encodeUsbReplyHeader(const UsbReplyHeader& header, uint8_t out[kUsbReplyHeaderSize])
{
    usbPutU32(out, header.word0);
    usbPutU32(out + 4, header.opcode);
    memcpy(out + 8, header.tag, sizeof header.tag);
    usbPutU32(out + 12, header.length);
    usbPutU32(out + 16, header.status);
    usbPutU32(out + 20, header.error);
}

void decodeUsbReplyHeader(const uint8_t in[kUsbReplyHeaderSize], UsbReplyHeader* out)
{
    out->word0 = usbGetU32(in);
    out->opcode = usbGetU32(in + 4);
    memcpy(out->tag, in + 8, sizeof out->tag);
    out->length = usbGetU32(in + 12);
    out->status = usbGetU32(in + 16);
    out->error = usbGetU32(in + 20);
}

void encodeUsbNotice(uint32_t opcode, uint8_t row, uint8_t port, uint8_t out[kUsbNoticeSize])
{
    UsbRequestHeader header;
    header.word0 = 1;
    header.opcode = opcode;
    header.length = 2;
    encodeUsbRequestHeader(header, out);
    out[kUsbRequestHeaderSize] = row;
    out[kUsbRequestHeaderSize + 1] = port;
}

void encodeUsbVersionData(uint8_t out[kUsbVersionDataSize])
{
    usbPutU16(out, kVersionMajor);
    usbPutU16(out + 2, kVersionText);
    usbPutU16(out + 4, kVersionMinor);
}

void encodeUsbVersionRowsData(int rows, uint8_t out[kUsbVersionRowsDataSize])
{
    encodeUsbVersionData(out);
    usbPutU16(out + 6, static_cast<uint32_t>(rows));
}

bool parseUsbKeyList(const uint8_t* data, size_t length, UsbKeyList* out)
{
    out->count = 0;
    out->digest = false;
    if (!data || length < kKeyListHeadSize || length > kUsbKeyListMaxLength)
        return false;
    size_t entrySize;
    if (memcmp(data, kCryptMagic, sizeof kCryptMagic) == 0) {
        entrySize = kCryptEntrySize;
    } else if (memcmp(data, kDigestMagic, sizeof kDigestMagic) == 0) {
        entrySize = kDigestEntrySize;
        out->digest = true;
    } else {
        return false;
    }
    const size_t count = data[3];
    if (length != count * entrySize + kKeyListHeadSize)
        return false;
    // The length bound keeps count within the array: 440 / 12 entries.
    const uint8_t* p = data + kKeyListHeadSize;
    for (size_t i = 0; i < count; ++i, p += entrySize) {
        UsbKeyEntry& e = out->entries[i];
        if (out->digest) {
            e.port = usbGetU16(p);
            memcpy(e.answer, p + 2, kUsbDigestAnswerSize);
        } else {
            e.port = p[0];
            memcpy(e.answer, p + 1, kUsbCryptAnswerSize);
        }
    }
    out->count = static_cast<int>(count);
    return true;
}

void encodeUsbDeviceEntry(uint8_t row, uint8_t port, uint8_t speed, const uint8_t descriptor[18],
                          uint8_t out[kUsbDeviceEntrySize])
{
    out[0] = row;
    out[1] = port;
    out[2] = speed;
    out[3] = 0;
    uint8_t* d = out + 4;
    memcpy(d, descriptor, 18);
    // bcdUSB, idVendor, idProduct, bcdDevice
    for (size_t offset : {2u, 8u, 10u, 12u})
        swapField(d, descriptor, offset);
}

void encodeUsbDeviceListHead(int count, uint8_t out[kUsbDeviceListHeadSize])
{
    out[0] = static_cast<uint8_t>(count);
    usbPutU16(out + 1, static_cast<uint32_t>(count * kUsbDeviceEntrySize));
}

void encodeUsbOwnerRecord(const uint8_t address[4], uint8_t out[kUsbOwnerRecordSize])
{
    static const uint8_t head[5] = {3, 4, 0, 0, 0};
    memcpy(out, head, sizeof head);
    memcpy(out + sizeof head, address, 4);
}
