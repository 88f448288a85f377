#include "platform/mounts/mounts.h"

#include "platform/files/root_path.h"

const MountOps& mountOps()
{
    static const MountOps& chosen = rootPrefix().empty() ? realMountOps : simMountOps;
    return chosen;
}
