#include "web/pages/start_page.h"

#include "web/http/http_connection.h"
#include "web/http/page_table.h"
#include "web/pages/usb_port_source.h"

#include "core/product/product_info.h"

namespace {

const UsbPortSource* portSource = nullptr;

const char* stateClass(PortDeviceState state)
{
    switch (state) {
    case PortDeviceState::Present: return "present";
    case PortDeviceState::Connected: return "connected";
    default: return "empty";
    }
}

const char* stateText(PortDeviceState state)
{
    switch (state) {
    case PortDeviceState::Present: return "Available";
    case PortDeviceState::Connected: return "In use";
    default: return "No device";
    }
}

std::string deviceText(const PortDevice& d)
{
    if (d.manufacturer.empty())
        return d.product;
    return d.product.empty() ? d.manufacturer : d.manufacturer + " " + d.product;
}

} // namespace

void setUsbPortSource(const UsbPortSource* source)
{
    portSource = source;
}

const UsbPortSource* usbPortSource()
{
    return portSource;
}

int startPage(HttpConnection& connection)
{
    int ports = static_cast<int>(productInfo().usb_ports_phy);
    std::vector<PortDevice> devices;
    if (portSource && portSource->listDevices)
        portSource->listDevices(&devices);
    TemplateVars& vars = connection.vars();
    for (int port = 1; port <= ports; ++port) {
        PortDevice shown;
        shown.port = port;
        for (const PortDevice& d : devices) {
            // A connected row outranks a stale one of the same port.
            if (d.port == port && d.state >= shown.state)
                shown = d;
        }
        vars.setIndexed("UPort", port, std::to_string(port), true);
        vars.setIndexed("UClass", port, stateClass(shown.state), true);
        vars.setIndexed("UState", port, connection.translate(stateText(shown.state)), true);
        vars.setIndexed("UDevice", port, deviceText(shown));
        vars.setIndexed("UOwner", port, shown.owner);
    }
    vars.setCount("UPort", ports);
    return 1;
}

void registerFirstPages()
{
    setPageHandler("/start.html", startPage);
}
