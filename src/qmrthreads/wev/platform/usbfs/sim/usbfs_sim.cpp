// The simulated host behind the usbfs seam. Every call first applies the
// plug and unplug commands queued from outside (at most every 20 ms), so a
// running program follows them without a thread of the simulator's own.
#include "platform/usbfs/usbfs.h"

#include "platform/usbfs/sim/usb_sim_control.h"
#include "platform/usbfs/sim/usb_sim_host.h"

namespace {

using usbsim::Host;

void simSetUp(const UsbfsSetup& setup)
{
    usbsim::setUp(setup);
}

int simOpen(const char* path, int flags)
{
    usbsim::applyQueuedCommandsSoon();
    return Host::instance().open(path, flags);
}

int simClose(int fd)
{
    usbsim::applyQueuedCommandsSoon();
    return Host::instance().close(fd);
}

ssize_t simRead(int fd, void* buf, size_t size)
{
    usbsim::applyQueuedCommandsSoon();
    return Host::instance().read(fd, buf, size);
}

off_t simLseek(int fd, off_t offset, int whence)
{
    return Host::instance().lseek(fd, offset, whence);
}

int simIoctl(int fd, unsigned long request, void* arg)
{
    usbsim::applyQueuedCommandsSoon();
    return Host::instance().ioctl(fd, request, arg);
}

// The simulated descriptor is an eventfd: epoll watches it directly.
int simPollFd(int fd)
{
    return Host::instance().pollFd(fd);
}

bool simReadyNow(int fd)
{
    return Host::instance().readyNow(fd);
}

void simHostPoll()
{
    usbsim::applyQueuedCommands();
}

} // namespace

const UsbfsOps simUsbfsOps = {
    simSetUp, simOpen, simClose, simRead, simLseek, simIoctl, simPollFd, simReadyNow, simHostPoll, "simulated",
};
