#include "web_pages_bridge.h"

#include "services/mail/event_mail.h"
#include "services/sdcard/sd_card_task.h"
#include "snmp/snmpd_conf.h"
#include "usbserver/usb_access.h"
#include "usbserver/usb_connect.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_device_view.h"
#include "usbserver/usb_status_publish.h"
#include "web/info/info_pages.h"
#include "web/pages/device_pages.h"
#include "web/pages/device_status_source.h"
#include "web/pages/usb_port_source.h"

#include <cstring>

namespace {

// Rows holding a device, copied under the table's locks.
void listDevices(std::vector<PortDevice>* out)
{
    UsbDeviceView view;
    for (int row = 0; copyUsbDeviceView(row, &view); ++row) {
        if (view.port <= 0 || (view.state != UsbViewState::Present && view.state != UsbViewState::Connected))
            continue;
        PortDevice d;
        d.row = row;
        d.port = view.port;
        d.connected = view.state == UsbViewState::Connected;
        d.idVendor = view.idVendor;
        d.idProduct = view.idProduct;
        d.manufacturer = view.manufacturer;
        d.product = view.product;
        d.serial = view.serial;
        d.idsListed = isVendProdListed(view.idVendor, view.idProduct, view.port);
        out->push_back(d);
    }
}

int rowCount()
{
    return usbRowCount.load();
}

const UsbPortSource kUsbPortSource = {listDevices, rowCount, adminDisconnectPort};

const DeviceStatusSource kDeviceStatusSource = {eventMailsSent, eventMailsFailed, trapSinkTrapCount, sdCardLabel};

// The table's rows as the publisher names them (row + 1 in its parameters).
const UsbInfoSource kUsbInfoSource = {portUsageCounter, getUsbSlotText, kUsbTableRows};

} // namespace

void connectPagesToUsbServer()
{
    setUsbPortSource(&kUsbPortSource);
    setDeviceStatusSource(&kDeviceStatusSource);
    registerDevicePages();
    setUsbInfoSource(&kUsbInfoSource);
    registerInfoPages();
}
