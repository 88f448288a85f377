#include "web/pages/start_page.h"

#include "web/http/http_connection.h"
#include "web/pages/device_status_source.h"
#include "web/pages/usb_port_source.h"
#include "web/pages/usb_port_table.h"

#include "core/board/board_device.h"
#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/product/model_features.h"
#include "core/product/product_info.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kDisconnectRefreshSeconds = 3;

const char* light(bool good)
{
    return good ? "green" : "red";
}

// The port number of a form value: digits only, 1 .. ports; else 0.
int portNumber(const std::string& text, int ports)
{
    if (text.empty() || text.size() > 2)
        return 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
    }
    int port = atoi(text.c_str());
    return port >= 1 && port <= ports ? port : 0;
}

void setSerialNumber(TemplateVars& vars)
{
    const ProductInfo& product = productInfo();
    char serial[48];
    snprintf(serial, sizeof serial, "%03u%04u%02u%05u", product.hw_project, product.year, product.month,
             product.serial_no);
    vars.setRaw("SerialNo", serial);
}

void readLights(TemplateVars& vars)
{
    const bool relayModel = (params::sw_features()->value() & kFeatureRelay) != 0;
    uint32_t supply = 0;
    uint32_t display = 0;
    int link = 0;
    if (relayModel) {
        // No reading counts as both inputs present: the lights then show
        // what the display shows.
        if (!boardDevice().readSupplyInputs(&supply))
            supply = 0x3;
    } else {
        NetInterface* iface = currentInterface();
        (iface ? *iface : wiredInterface()).linkStatus(&link);
        display = boardDevice().displayStateFlags();
    }
    setPowerAndLinkLights(vars, relayModel, supply, display, link);
}

void setSdCardName(TemplateVars& vars)
{
    if (!(params::sw_features()->value() & kFeatureSdCard))
        return;
    const DeviceStatusSource* source = deviceStatusSource();
    vars.setText("SDNam", source && source->sdCardName ? source->sdCardName() : std::string());
}

} // namespace

bool handlePortDisconnect(HttpConnection& connection)
{
    std::string value;
    if (!connection.getFormVar("disconnect", &value))
        return false;
    const int port = portNumber(value, static_cast<int>(productInfo().usb_ports_phy));
    const UsbPortSource* source = usbPortSource();
    if (port == 0 || !isAdminViewer(connection) || !source || !source->disconnectPort)
        return false;
    size_t directory = 0;
    connection.refreshTarget = connection.currentUrl(&directory);
    connection.refreshSeconds = kDisconnectRefreshSeconds;
    source->disconnectPort(port);
    return true;
}

void setPowerAndLinkLights(TemplateVars& vars, bool relayModel, uint32_t supplyBits, uint32_t displayFlags,
                           int linkMask)
{
    if (relayModel) {
        // The inputs' bits say "present": a missing input is the red one.
        vars.setRaw("LeftPow", light(supplyBits & 0x1));
        vars.setRaw("RightPow", light(supplyBits & 0x2));
        return;
    }
    vars.setRaw("LeftLink", light(linkMask & 0x10));
    vars.setRaw("RightLink", light(linkMask & 0x1));
    vars.setRaw("LeftPow", light(!(displayFlags & kSupply2Missing)));
    vars.setRaw("RightPow", light(!(displayFlags & kSupply1Missing)));
}

int startPage(HttpConnection& connection)
{
    handlePortDisconnect(connection);
    setSerialNumber(connection.vars());
    connection.setCurrentTime();
    readLights(connection.vars());
    setSdCardName(connection.vars());
    return setUsbPortTable(connection);
}
