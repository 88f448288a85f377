#include "platform/mounts/mounts.h"

#include <sys/mount.h>

namespace {

int realMount(const char* source, const char* target, const char* fsType, unsigned long flags,
              const char* options)
{
    return mount(source, target, fsType, flags, options);
}

int realUnmount(const char* target, int flags)
{
    return umount2(target, flags);
}

} // namespace

const MountOps realMountOps = {realMount, realUnmount};
