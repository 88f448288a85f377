// What the device pages read of the services and the SNMP agent: the
// notification counters and the SD card's name. Start-up registers the
// readers here, so the pages never include those layers' code.
#pragma once

#include <string>

struct DeviceStatusSource {
    // Event mails sent and failed for recipient 1 or 2.
    int (*mailsSent)(int recipient);
    int (*mailsFailed)(int recipient);
    // Traps sent to trap sink 1 or 2; negative when there is no such sink.
    int (*trapsSent)(int sink);
    // The volume label of the card in the SD slot; empty without one.
    std::string (*sdCardName)();
};
void setDeviceStatusSource(const DeviceStatusSource* source);
const DeviceStatusSource* deviceStatusSource();
