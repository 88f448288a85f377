#include "usbserver/usb_transfer_request.h"

#include "usbserver/usb_device_table.h"
#include "usbserver/usb_protocol.h"

void decodeUsbTransferRequest(const uint8_t in[kUsbTransferBodySize], UsbTransferRequest* out)
{
    out->row = in[0];
    out->port = in[1];
    out->endpoint = in[2];
    out->type = in[3];
    out->inLength = usbGetU32(in + 4);
    out->outLength = usbGetU32(in + 8);
}

void encodeUsbTransferRequest(const UsbTransferRequest& request, uint8_t out[kUsbTransferBodySize])
{
    out[0] = request.row;
    out[1] = request.port;
    out[2] = request.endpoint;
    out[3] = request.type;
    usbPutU32(out + 4, request.inLength);
    usbPutU32(out + 8, request.outLength);
}

namespace {

// The owner pointer is written by the owner itself and by the claim of a
// row nobody owns; read under the row lock it is never torn.
const UsbPollRecord* ownerOf(int row, bool* connected)
{
    UsbDeviceSlot& slot = usbDeviceTable[row];
    UsbRowLock lock(row);
    *connected = slot.state.load() == kUsbSlotConnected;
    return lock.locked() ? slot.owner : nullptr;
}

} // namespace

bool isRowOwnedBy(int row, const UsbPollRecord* session)
{
    if (!session || !isValidSlot(row))
        return false;
    bool connected = false;
    const UsbPollRecord* owner = ownerOf(row, &connected);
    return connected && owner == session;
}

bool isRowOwnedByOther(int row, const UsbPollRecord* session)
{
    if (!isValidSlot(row))
        return false;
    bool connected = false;
    const UsbPollRecord* owner = ownerOf(row, &connected);
    return connected && owner != session;
}
