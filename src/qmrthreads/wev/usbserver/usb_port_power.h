// Port power timers: a port switched off for a while (a failed reset on a
// model with port power switching, the power-off time after a port's last
// session) is switched on again once its time has run out. Its device
// vanishes meanwhile and is found again as new when the power is back.
#pragma once

#include <cstdint>

constexpr int kUsbPowerTimerPorts = 20;

// Switches port index portIndex (0..19) off until ticks from now; other
// indexes are ignored.
void powerOffPort(int portIndex, int ticks);
// The supervision loop switches the ports on again when their time has run
// out: powerOnExpiredPorts (usb_server_task.h).
// The tick at which the port comes back on, 0 when none is set.
uint64_t portPowerDeadline(int portIndex);

// The USB server switches a port off for a while through usbPortPowerOff,
// which goes to the timers above; a test may register another way to see
// the requests. Every request is counted.
using UsbPortPowerOff = void (*)(int portIndex, int ticks);
void setUsbPortPowerOff(UsbPortPowerOff op);
// Switches port index portIndex (0..19) off for ticks.
void usbPortPowerOff(int portIndex, int ticks);
int usbPortPowerOffRequests();
