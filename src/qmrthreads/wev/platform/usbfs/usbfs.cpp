#include "platform/usbfs/usbfs.h"

#include "platform/files/root_path.h"

#include <linux/magic.h>
#include <sys/vfs.h>

const UsbfsOps& selectUsbfs(const char* sysfsDevicesPath)
{
    // On the box itself the kernel always answers; a simulated host there
    // would write its tree into the real /sys and /dev.
    if (rootPrefix().empty())
        return realUsbfsOps;
    struct statfs fs;
    if (sysfsDevicesPath && statfs(sysfsDevicesPath, &fs) == 0 && fs.f_type == SYSFS_MAGIC)
        return realUsbfsOps;
    return simUsbfsOps;
}

const UsbfsOps& usbfs()
{
    // Chosen once: switching hosts in the middle of a run would strand every
    // open descriptor.
    static const UsbfsOps& chosen = selectUsbfs(boxPath("/sys/bus/usb/devices").c_str());
    return chosen;
}

void usbHostPoll()
{
    usbfs().hostPoll();
}
