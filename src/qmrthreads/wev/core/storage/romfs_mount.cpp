#include "core/storage/romfs_mount.h"

#include "core/util/file_copy.h"
#include "platform/files/root_path.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Start-up and the end sequence call in here; the lock only keeps the loop
// device record whole if a page ever asks for it meanwhile.
std::mutex romfsMutex;
int loopCounter = 0;
char loopInUse[64] = "";

const char IMAGE[] = "/flash/wev.cramfs";
const char PENDING_IMAGE[] = "/tmp/tmp.cramfs";
const char OLD_LIVE_IMAGE[] = "/flash/live.cramfs";
const char MOUNT_POINT[] = "/romfs";
// Relative to the root, so a root directory can be moved or linked.
const char STAND_IN_LINK_TARGET[] = "flash/wev.cramfs";

bool isDirectory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isSymlink(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The mount point goes when it is an empty directory (or is missing).
bool removeEmptyMountPoint(const std::string& path)
{
    return rmdir(path.c_str()) == 0 || errno == ENOENT;
}

bool syncFile(const std::string& path, int flags)
{
    int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// The new image replaces the old one only once it is complete on flash: a
// failed copy (flash full) keeps the old image and the pending one.
void installPendingImage()
{
    std::string pending = boxPath(PENDING_IMAGE);
    struct stat st;
    if (stat(pending.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return;
    std::string image = boxPath(IMAGE);
    if (isDirectory(image)) {
        fprintf(stderr, "%s: %s is a directory, new image %s left in place\n", "mountRomfs", image.c_str(), pending.c_str());
        return;
    }
    // The old scheme's image only takes flash space the new one needs.
    unlink(boxPath(OLD_LIVE_IMAGE).c_str());
    std::string temp = image + ".new";
    bool ok = copyFile(pending.c_str(), temp.c_str(), nullptr) == 1 && syncFile(temp, O_RDONLY) &&
              rename(temp.c_str(), image.c_str()) == 0;
    if (!ok) {
        fprintf(stderr, "%s: installing %s as %s failed: %s\n", "mountRomfs", pending.c_str(), image.c_str(), strerror(errno));
        unlink(temp.c_str());
        return;
    }
    syncFile(boxPath("/flash"), O_RDONLY | O_DIRECTORY);
    unlink(pending.c_str());
}

// A free loop device: the kernel names one where it can; otherwise the
// next of the box's static devices.
std::string nextLoopDevice()
{
    int control = open(boxPath("/dev/loop-control").c_str(), O_RDWR | O_CLOEXEC);
    if (control >= 0) {
        int n = ioctl(control, LOOP_CTL_GET_FREE);
        close(control);
        if (n >= 0)
            return boxPath("/dev/loop" + std::to_string(n));
    }
    return boxPath("/dev/loop" + std::to_string(loopCounter++));
}

int mountLoopImage(const std::string& image)
{
    struct stat st;
    if (stat(image.c_str(), &st) != 0)
        return 0;
    // Another process may take the free device between asking for it and
    // binding it: then ask again.
    std::string device;
    bool attached = false;
    for (int attempt = 0; attempt < 3 && !attached; ++attempt) {
        device = nextLoopDevice();
        attached = attachLoop(device.c_str(), image.c_str(), 0) == 1;
        if (!attached && errno != EBUSY)
            break;
    }
    if (!attached) {
        fprintf(stderr, "%s: %s on %s: %s\n", "mountRomfs", image.c_str(), device.c_str(), strerror(errno));
        return 0;
    }
    std::string target = boxPath(MOUNT_POINT);
    int firstError = 0;
    for (const char* type : {"squashfs", "cramfs"}) {
        if (mount(device.c_str(), target.c_str(), type, MS_RDONLY, nullptr) == 0) {
            snprintf(loopInUse, sizeof loopInUse, "%s", device.c_str());
            return 1;
        }
        // A kernel without the type says ENODEV; the other type's answer
        // tells more.
        if (!firstError || firstError == ENODEV)
            firstError = errno;
    }
    fprintf(stderr, "%s: mount %s on %s failed: %s\n", "mountRomfs", device.c_str(), target.c_str(), strerror(firstError));
    detachLoop(device.c_str());
    return 0;
}

// A directory image is shown by making "/romfs" a link to it; only an empty
// mount point or an earlier link is replaced, never a directory with content.
int showStandInDirectory()
{
    std::string target = boxPath(MOUNT_POINT);
    if (isSymlink(target)) {
        if (unlink(target.c_str()) != 0)
            return 0;
    } else if (!removeEmptyMountPoint(target)) {
        fprintf(stderr, "%s: %s is not an empty mount point: %s\n", "mountRomfs", target.c_str(), strerror(errno));
        return 0;
    }
    if (symlink(STAND_IN_LINK_TARGET, target.c_str()) != 0) {
        fprintf(stderr, "%s: link %s: %s\n", "mountRomfs", target.c_str(), strerror(errno));
        mkdir(target.c_str(), 0755);
        return 0;
    }
    return 1;
}

void releaseMountPoint()
{
    std::string target = boxPath(MOUNT_POINT);
    if (isSymlink(target)) {
        unlink(target.c_str());
        mkdir(target.c_str(), 0755);
        return;
    }
    if (umount2(target.c_str(), 0) == 0 || errno == EINVAL || errno == ENOENT)
        return;
    // Still in use (an open template): let the kernel finish it lazily, the
    // image goes when the last user closes it.
    if (errno == EBUSY && umount2(target.c_str(), MNT_DETACH) == 0)
        return;
    fprintf(stderr, "%s: umount %s: %s\n", "switchRomfs", target.c_str(), strerror(errno));
}

} // namespace

int attachLoop(const char* loopDevice, const char* file, int offset)
{
    int fileFd = open(file, O_RDONLY | O_CLOEXEC);
    if (fileFd < 0)
        return 0;
    int loopFd = open(loopDevice, O_RDONLY | O_CLOEXEC);
    if (loopFd < 0) {
        close(fileFd);
        return 0;
    }
    int result = 0;
    int error = 0;
    if (ioctl(loopFd, LOOP_SET_FD, fileFd) == 0) {
        struct loop_info64 info;
        memset(&info, 0, sizeof info);
        snprintf(reinterpret_cast<char*>(info.lo_file_name), sizeof info.lo_file_name, "%s", file);
        info.lo_offset = static_cast<uint64_t>(offset);
        if (ioctl(loopFd, LOOP_SET_STATUS64, &info) == 0) {
            result = 1;
        } else {
            error = errno;
            ioctl(loopFd, LOOP_CLR_FD, 0);
        }
    } else {
        error = errno;
    }
    close(loopFd);
    close(fileFd);
    // The caller reports why it failed.
    if (!result)
        errno = error;
    return result;
}

int detachLoop(const char* loopDevice)
{
    int fd = open(loopDevice, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int rc = ioctl(fd, LOOP_CLR_FD, 0);
    close(fd);
    return rc == 0 ? 1 : 0;
}

int mountRomfs()
{
    std::lock_guard<std::mutex> guard(romfsMutex);
    installPendingImage();
    std::string image = boxPath(IMAGE);
    if (isDirectory(image))
        return showStandInDirectory();
    return mountLoopImage(image);
}

void switchRomfs()
{
    std::lock_guard<std::mutex> guard(romfsMutex);
    releaseMountPoint();
    if (loopInUse[0]) {
        detachLoop(loopInUse);
        loopInUse[0] = 0;
    }
    installPendingImage();
}
