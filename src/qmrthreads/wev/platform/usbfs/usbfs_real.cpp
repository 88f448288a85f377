// The kernel's usbfs: the table's operations are the system calls.
#include "platform/usbfs/usbfs.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The kernel's tree is the box's own: it needs no description of the model.
void realSetUp(const UsbfsSetup&) {}

int realOpen(const char* path, int flags)
{
    return ::open(path, flags | O_CLOEXEC);
}

int realClose(int fd)
{
    return ::close(fd);
}

ssize_t realRead(int fd, void* buf, size_t size)
{
    return ::read(fd, buf, size);
}

off_t realLseek(int fd, off_t offset, int whence)
{
    return ::lseek(fd, offset, whence);
}

int realIoctl(int fd, unsigned long request, void* arg)
{
    return ::ioctl(fd, request, arg);
}

// The kernel signals completions on the device file itself.
int realPollFd(int fd)
{
    return fd;
}

// Only a poll of the file could tell: the caller waits for it instead.
bool realReadyNow(int)
{
    return false;
}

void realHostPoll()
{
}

} // namespace

const UsbfsOps realUsbfsOps = {
    realSetUp, realOpen, realClose, realRead, realLseek, realIoctl, realPollFd, realReadyNow, realHostPoll, "kernel",
};
