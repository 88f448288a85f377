#include "core/util/descriptor_mode.h"

#include <fcntl.h>

int setNonBlocking(int fd, int on)
{
    if (fd < 0)
        return 0;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return 0;
    bool isOn = (flags & O_NONBLOCK) != 0;
    if (isOn == (on != 0))
        return 1;
    flags = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return fcntl(fd, F_SETFL, flags) == 0 ? 1 : 0;
}

int isBlocking(int fd)
{
    if (fd < 0)
        return 0;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return 0;
    return (flags & O_NONBLOCK) ? 0 : 1;
}
