// What the pages read of the USB ports. The USB server owns the device
// table; start-up registers a reader of its published rows here, so the
// pages never include the server's code.
#pragma once

#include <string>
#include <vector>

enum class PortDeviceState { Empty, Present, Connected };

struct PortDevice {
    int port = 0;  // physical port 1..20
    PortDeviceState state = PortDeviceState::Empty;
    std::string manufacturer;
    std::string product;
    std::string owner;  // the client's name while connected
};

struct UsbPortSource {
    // The devices published on the ports, in any order.
    void (*listDevices)(std::vector<PortDevice>* out);
};
void setUsbPortSource(const UsbPortSource* source);
const UsbPortSource* usbPortSource();
