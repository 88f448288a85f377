#include "usbserver/usb_device_view.h"

#include <cstring>

#include "usbserver/usb_device_table.h"

namespace {

static_assert(kUsbViewTextSize == kUsbTextSize, "a row's texts fit the view whole");
static_assert(kUsbViewNameSize == kUsbClientNameSize, "the owner's name fits the view whole");
static_assert(static_cast<int>(UsbViewState::Free) == kUsbSlotFree && static_cast<int>(UsbViewState::Gone) == kUsbSlotGone
                  && static_cast<int>(UsbViewState::Present) == kUsbSlotPresent
                  && static_cast<int>(UsbViewState::Connected) == kUsbSlotConnected,
              "the view's states are the row states");

// The row's texts and identity: written under the list mutex only.
void copyIdentity(const UsbDeviceSlot& slot, UsbDeviceView* view)
{
    view->port = slot.port;
    view->idVendor = slot.idVendor;
    view->idProduct = slot.idProduct;
    memcpy(view->manufacturer, slot.manufacturer, sizeof view->manufacturer);
    memcpy(view->product, slot.product, sizeof view->product);
    memcpy(view->serial, slot.serial, sizeof view->serial);
}

// The state and the owner's name change together under the row lock.
void copyOwnership(const UsbDeviceSlot& slot, UsbDeviceView* view)
{
    view->state = static_cast<UsbViewState>(slot.state.load());
    if (view->state == UsbViewState::Connected)
        memcpy(view->ownerName, slot.ownerName, sizeof view->ownerName);
}

} // namespace

bool copyUsbDeviceView(int row, UsbDeviceView* out)
{
    if (!out || !isValidSlot(row))
        return false;
    const UsbDeviceSlot& slot = usbDeviceTable[row];
    UsbDeviceView view;
    // The table's lock order: the list mutex, then the row's.
    if (lockUsbList(1) != 1)
        return false;
    copyIdentity(slot, &view);
    bool copied = false;
    {
        UsbRowLock lock(row);
        if (lock.locked()) {
            copyOwnership(slot, &view);
            copied = true;
        }
    }
    lockUsbList(0);
    if (copied)
        *out = view;
    return copied;
}
