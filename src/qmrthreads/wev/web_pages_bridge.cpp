#include "web_pages_bridge.h"

#include "usbserver/usb_device_table.h"
#include "usbserver/usb_device_view.h"
#include "usbserver/usb_status_publish.h"
#include "web/info/info_pages.h"
#include "web/pages/start_page.h"
#include "web/pages/usb_port_source.h"

namespace {

PortDeviceState pageState(UsbViewState state)
{
    switch (state) {
    case UsbViewState::Present: return PortDeviceState::Present;
    case UsbViewState::Connected: return PortDeviceState::Connected;
    default: return PortDeviceState::Empty;
    }
}

void listDevices(std::vector<PortDevice>* out)
{
    UsbDeviceView view;
    for (int row = 0; copyUsbDeviceView(row, &view); ++row) {
        if (view.port <= 0 || view.state == UsbViewState::Free || view.state == UsbViewState::Gone)
            continue;
        PortDevice d;
        d.port = view.port;
        d.state = pageState(view.state);
        d.manufacturer = view.manufacturer;
        d.product = view.product;
        d.owner = view.ownerName;
        out->push_back(d);
    }
}

const UsbPortSource kUsbPortSource = {listDevices};

// The table's rows as the publisher names them (row + 1 in its parameters).
const UsbInfoSource kUsbInfoSource = {portUsageCounter, getUsbSlotText, kUsbTableRows};

} // namespace

void connectPagesToUsbServer()
{
    setUsbPortSource(&kUsbPortSource);
    registerFirstPages();
    setUsbInfoSource(&kUsbInfoSource);
    registerInfoPages();
}
