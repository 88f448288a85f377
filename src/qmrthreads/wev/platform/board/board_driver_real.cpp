// The board's kernel driver: the table's operations are the system calls.
#include "platform/board/board_driver.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The kernel's driver is the board itself and knows which one it is.
void realSetUp(const BoardDriverSetup&) {}

int realOpen(const char* path, int flags)
{
    return ::open(path, flags | O_CLOEXEC);
}

int realClose(int fd)
{
    return ::close(fd);
}

int realIoctl(int fd, unsigned long request, uintptr_t arg)
{
    return ::ioctl(fd, request, arg);
}

ssize_t realRead(int fd, void* buf, size_t size)
{
    return ::read(fd, buf, size);
}

} // namespace

const BoardDriverOps realBoardDriverOps = {
    realSetUp,
    realOpen,
    realClose,
    realIoctl,
    realRead,
};
