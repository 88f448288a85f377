// Which usbfs back-end a run gets, and the kernel back-end's own behaviour
// on a machine without the box's devices.
#include "support/temp_box_root.h"
#include "platform/usbfs/usbfs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

TEST(UsbfsSelect, KernelForTheBoxItselfOrARealSysfs)
{
    TempBoxRoot root;
    ASSERT_TRUE(root.ok());
    std::string plain = root.dir() + "/sys/bus/usb/devices";
    root.writeFile("/sys/bus/usb/devices/.keep", "");
    EXPECT_EQ(&selectUsbfs(plain.c_str()), &simUsbfsOps) << "a root with a plain directory";
    EXPECT_EQ(&selectUsbfs((root.dir() + "/missing").c_str()), &simUsbfsOps);
    EXPECT_EQ(&selectUsbfs("/sys"), &realUsbfsOps) << "a root whose sys is the kernel's";
    unsetenv("WEV_ROOT");
    reloadRootPrefixForTest();
    EXPECT_EQ(&selectUsbfs(plain.c_str()), &realUsbfsOps) << "without a root: always the kernel";
    EXPECT_STREQ(realUsbfsOps.name, "kernel");
    EXPECT_STREQ(simUsbfsOps.name, "simulated");
}

TEST(UsbfsReal, CallsGoStraightToTheKernel)
{
    TempBoxRoot root;
    root.writeFile("/file", "descriptor bytes");
    EXPECT_EQ(realUsbfsOps.open((root.dir() + "/missing").c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    int fd = realUsbfsOps.open((root.dir() + "/file").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(realUsbfsOps.pollFd(fd), fd) << "the kernel signals on the file itself";
    EXPECT_EQ(realUsbfsOps.lseek(fd, 11, SEEK_SET), 11);
    char text[8] = {};
    EXPECT_EQ(realUsbfsOps.read(fd, text, 5), 5);
    EXPECT_STREQ(text, "bytes");
    EXPECT_EQ(realUsbfsOps.ioctl(fd, USBDEVFS_PORT_RELEASE, nullptr), -1);
    EXPECT_EQ(errno, ENOTTY) << "what a kernel without the request answers";
    realUsbfsOps.hostPoll();
    EXPECT_EQ(realUsbfsOps.close(fd), 0);
}

} // namespace
