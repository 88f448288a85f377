#include "platform/mounts/mounts.h"

#include "platform/files/root_path.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A FAT volume ends its boot sector with 0x55 0xAA.
bool hasBootSignature(const std::string& image)
{
    int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char signature[2] = {};
    bool ok = pread(fd, signature, 2, 510) == 2 && signature[0] == 0x55 && signature[1] == 0xaa;
    close(fd);
    return ok;
}

int fail(int error)
{
    errno = error;
    return -1;
}

int simMount(const char* source, const char* target, const char*, unsigned long flags, const char*)
{
    std::string image = boxPath(source), point = boxPath(target);
    struct stat st;
    if (stat(image.c_str(), &st) != 0)
        return fail(ENOENT);
    if (!S_ISREG(st.st_mode) || !hasBootSignature(image))
        return fail(EINVAL);
    if (!(flags & MS_RDONLY) && exists(image + ".readonly"))
        return fail(EROFS);
    if (lstat(point.c_str(), &st) != 0)
        return fail(ENOENT);
    if (S_ISLNK(st.st_mode))
        return fail(EBUSY);
    std::string files = image + ".files";
    mkdir(files.c_str(), 0755);
    if (rmdir(point.c_str()) != 0)
        return -1;
    if (symlink(files.c_str(), point.c_str()) != 0) {
        int error = errno;
        mkdir(point.c_str(), 0755);
        return fail(error);
    }
    return 0;
}

int simUnmount(const char* target, int flags)
{
    std::string point = boxPath(target);
    struct stat st;
    if (lstat(point.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return fail(EINVAL);
    if (exists(boxPath("/dev/mounts.sim/stuck")) ||
        (!(flags & MNT_DETACH) && exists(boxPath("/dev/mounts.sim/busy"))))
        return fail(EBUSY);
    if (unlink(point.c_str()) != 0)
        return -1;
    return mkdir(point.c_str(), 0755);
}

} // namespace

const MountOps simMountOps = {simMount, simUnmount};
