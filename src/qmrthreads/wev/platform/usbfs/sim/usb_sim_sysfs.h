// The sysfs tree and the usbfs device nodes of the simulated host, written
// under the root as the kernel shows them: device directories nested under
// "/sys/devices/platform/usbsim-hcd.N/usbN/" with the attribute files in the
// kernel's formats, interface directories "1-1.2:1.0" for the active
// configuration, links to all of them in "/sys/bus/usb/devices", and a
// device node "/dev/bus/usb/BBB/DDD" per device (a plain file; the
// simulated open also accepts a character node the scan makes there).
//
// A device directory appears whole: it is built under a temporary name and
// renamed into place before its link is made, so a scan never reads half a
// device.
#pragma once

#include "platform/usbfs/sim/usb_sim_host.h"

#include <string>

namespace usbsim {

// Writes the device's directory below parentDir (empty for a root hub),
// its interfaces, its link and its node; sets device.sysfsDir.
bool sysfsAddDevice(SimDevice& device, const std::string& parentDir, std::string* error);
// Removes the device's links, directory and node.
void sysfsRemoveDevice(const SimDevice& device);
// After a configuration or alternate setting changed.
void sysfsUpdateConfiguration(const SimDevice& device);
void sysfsUpdateAltSetting(const SimDevice& device, int number);
// Removes whatever an earlier run of the simulated host left in the root.
void sysfsRemoveAll();

// "/dev/bus/usb/BBB/DDD" under the root.
std::string devNodePath(int bus, int devnum);

// The node's major number and the minor of a device, as the kernel numbers them.
constexpr int kUsbDeviceMajor = 189;
inline int usbDeviceMinor(int bus, int devnum)
{
    return (bus - 1) * 128 + (devnum - 1);
}

} // namespace usbsim
