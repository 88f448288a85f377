// What the pages read of the USB ports and the one thing they do to them.
// The USB server owns the device table; start-up registers these operations
// here, so the pages never include the server's code. Every row is a copy
// taken under the table's own locks: a page never sees a text half written.
#pragma once

#include <string>
#include <vector>

struct PortDevice {
    int row = 0;   // device table row, from 0 (usb_*_<row+1> are its parameters)
    int port = 0;  // physical port 1..20
    bool connected = false;  // a client has it
    int idVendor = 0;
    int idProduct = 0;
    // The device's own texts, as it gave them (escaped where they are shown).
    std::string manufacturer;
    std::string product;
    std::string serial;
    // The port's id filter lists the device's vendor:product pair.
    bool idsListed = false;
};

struct UsbPortSource {
    // The rows that hold a device (present or connected), in table order.
    void (*listDevices)(std::vector<PortDevice>* out);
    // The rows of the device table this model has.
    int (*rowCount)();
    // The administrator's disconnect of every device on the port: the
    // owner is told and loses the device. 1 when done.
    int (*disconnectPort)(int port);
};
void setUsbPortSource(const UsbPortSource* source);
const UsbPortSource* usbPortSource();
