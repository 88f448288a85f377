// The sysfs tree and device nodes of the simulated host, in the kernel's
// layout and formats, as the device scan reads them.
#include "support/usb_sim_fixture.h"

#include "platform/usbfs/sim/usb_sim_layout.h"

#include <glob.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include "support/missing_requirement.h"

namespace {

class UsbSimSysfs : public UsbSimTest {};

TEST_F(UsbSimSysfs, DeviceAttributesReadAsTheKernelPrintsThem)
{
    std::string name = plug("loopback at=1-1.2 serial=ABC123");
    ASSERT_EQ(name, "1-1.2");
    int devnum = atoi(sysfsText(name, "devnum").c_str());
    ASSERT_GE(devnum, 2);
    struct Case { const char* attribute; std::string text; };
    const Case cases[] = {
        {"idVendor", "1209\n"},
        {"idProduct", "0001\n"},
        {"bcdDevice", "0100\n"},
        {"bDeviceClass", "ff\n"},
        {"bDeviceSubClass", "00\n"},
        {"bNumConfigurations", "1\n"},
        {"bConfigurationValue", "1\n"},
        {"bNumInterfaces", " 1\n"},
        {"bmAttributes", "80\n"},
        {"bMaxPower", "100mA\n"},
        {"busnum", "1\n"},
        {"devpath", "1.2\n"},
        {"speed", "480\n"},
        {"version", " 2.00\n"},
        {"maxchild", "0\n"},
        {"manufacturer", "WEV Simulation\n"},
        {"product", "Loopback Device\n"},
        {"serial", "ABC123\n"},
        {"dev", "189:" + std::to_string(devnum - 1) + "\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sysfsText(name, c.attribute), c.text) << c.attribute;

    const Case interfaceCases[] = {
        {"bInterfaceNumber", "00\n"}, {"bAlternateSetting", " 0\n"}, {"bNumEndpoints", "03\n"},
        {"bInterfaceClass", "ff\n"},  {"bInterfaceSubClass", "00\n"}, {"bInterfaceProtocol", "00\n"},
    };
    for (const Case& c : interfaceCases)
        EXPECT_EQ(sysfsText(name + ":1.0", c.attribute), c.text) << c.attribute;

    // "descriptors" holds what a read of the device file gives.
    int fd = openDevice(name, O_RDONLY);
    std::vector<char> raw(1024);
    ssize_t n = ops().read(fd, raw.data(), raw.size());
    ops().close(fd);
    EXPECT_EQ(sysfsText(name, "descriptors"), std::string(raw.data(), static_cast<size_t>(n)));
}

TEST_F(UsbSimSysfs, SpeedAndVersionFollowTheDevice)
{
    struct Case { const char* args; const char* speed; const char* version; };
    const Case cases[] = {
        {"keyboard at=1-1.1", "1.5\n", " 2.00\n"},
        {"dual-config at=1-1.2", "12\n", " 2.00\n"},
        {"storage at=1-1.3", "480\n", " 2.00\n"},
        {"loopback speed=5000 at=1-1.4", "5000\n", " 3.00\n"},
    };
    for (const Case& c : cases) {
        std::string name = plug(c.args);
        EXPECT_EQ(sysfsText(name, "speed"), c.speed) << c.args;
        EXPECT_EQ(sysfsText(name, "version"), c.version) << c.args;
    }
    EXPECT_EQ(sysfsText("1-1.1:1.0", "bInterfaceClass"), "03\n") << "the keyboard's HID interface";
    EXPECT_EQ(usbsim::command("plug loopback speed=7 at=1-1.5"), "error: speed must be 1.5, 12, 480 or 5000, not '7'");
}

TEST_F(UsbSimSysfs, TreeIsNestedAndLinkedLikeTheKernels)
{
    plug("loopback at=1-1.2");
    char link[256];
    ssize_t n = readlink(boxPath("/sys/bus/usb/devices/1-1.2").c_str(), link, sizeof link - 1);
    ASSERT_GT(n, 0);
    link[n] = 0;
    EXPECT_STREQ(link, "../../../devices/platform/usbsim-hcd.1/usb1/1-1/1-1.2");
    EXPECT_EQ(sysfsText("usb1", "idVendor"), "1d6b\n") << "the root hub";
    EXPECT_EQ(sysfsText("usb1", "devnum"), "1\n");
    EXPECT_EQ(sysfsText("1-1", "bDeviceClass"), "09\n") << "a hub on the way was plugged";

    glob_t found{};
    ASSERT_EQ(glob(boxPath("/sys/bus/usb/devices/[1-9]*").c_str(), GLOB_ERR, nullptr, &found), 0);
    std::vector<std::string> names;
    for (size_t i = 0; i < found.gl_pathc; ++i)
        names.push_back(strrchr(found.gl_pathv[i], '/') + 1);
    globfree(&found);
    EXPECT_EQ(names, (std::vector<std::string>{"1-1", "1-1.2", "1-1.2:1.0", "1-1:1.0"}));

    struct stat st;
    ASSERT_EQ(stat(nodePath("1-1.2").c_str(), &st), 0) << "one node per device";
    ASSERT_EQ(usbsim::command("unplug 1-1.2"), "ok");
    EXPECT_NE(lstat(boxPath("/sys/bus/usb/devices/1-1.2").c_str(), &st), 0);
    EXPECT_NE(lstat(boxPath("/sys/bus/usb/devices/1-1.2:1.0").c_str(), &st), 0);
    EXPECT_NE(stat(boxPath("/sys/devices/platform/usbsim-hcd.1/usb1/1-1/1-1.2").c_str(), &st), 0);
    EXPECT_EQ(stat(boxPath("/sys/bus/usb/devices/1-1").c_str(), &st), 0) << "the hub stays";
}

TEST_F(UsbSimSysfs, NamesAbsentFromTheDeviceHaveNoFile)
{
    std::string name = plug("loopback manufacturer= serial= product=Widget");
    struct stat st;
    EXPECT_NE(stat(sysfsPath(name, "manufacturer").c_str(), &st), 0);
    EXPECT_NE(stat(sysfsPath(name, "serial").c_str(), &st), 0);
    EXPECT_EQ(sysfsText(name, "product"), "Widget\n");
}

TEST_F(UsbSimSysfs, EveryPlugGetsANewDeviceNumber)
{
    std::string name = plug("loopback at=1-1.2");
    std::string first = sysfsText(name, "devnum");
    ASSERT_EQ(usbsim::command("unplug " + name), "ok");
    plug("loopback at=1-1.2");
    EXPECT_NE(sysfsText(name, "devnum"), first);
    EXPECT_EQ(usbsim::command("plug keyboard at=1-1.2"), "error: a device is plugged at 1-1.2 already");
}

TEST_F(UsbSimSysfs, OpenAcceptsTheCharacterNodeTheScanMakes)
{
    std::string name = plug("loopback");
    std::string node = nodePath(name);
    int devnum = atoi(sysfsText(name, "devnum").c_str());
    ASSERT_EQ(unlink(node.c_str()), 0);
    EXPECT_EQ(ops().open(node.c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    if (mknod(node.c_str(), S_IFCHR | 0777, makedev(189, devnum - 1)) != 0)
        SKIP_UNLESS_CI(std::string("cannot make device nodes here: ") + strerror(errno));
    int fd = ops().open(node.c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(claim(fd, 0), 0);
    ops().close(fd);
    ASSERT_EQ(usbsim::command("unplug " + name), "ok");
    unlink(node.c_str());
    ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0777, makedev(189, devnum - 1)), 0);
    EXPECT_EQ(ops().open(node.c_str(), O_RDWR), -1) << "a node left behind by a gone device";
    EXPECT_EQ(errno, ENODEV);
}

TEST_F(UsbSimSysfs, AnEarlierRunsTreeIsRemovedAtStart)
{
    std::string stale = boxPath("/sys/devices/platform/usbsim-hcd.3/usb3/3-1");
    ASSERT_EQ(system(("mkdir -p " + stale + " " + boxPath("/dev/bus/usb/003") + " " + boxPath("/sys/bus/usb/devices"))
                         .c_str()),
              0);
    ASSERT_EQ(symlink("../../../devices/platform/usbsim-hcd.3/usb3/3-1", boxPath("/sys/bus/usb/devices/3-1").c_str()), 0);
    std::string own = boxPath("/sys/bus/usb/devices/keep");
    ASSERT_EQ(symlink("/elsewhere", own.c_str()), 0);
    simUsbfsOps.hostPoll();  // the first use takes the root over
    struct stat st;
    EXPECT_NE(lstat(boxPath("/sys/bus/usb/devices/3-1").c_str(), &st), 0);
    EXPECT_NE(stat(stale.c_str(), &st), 0);
    EXPECT_EQ(lstat(own.c_str(), &st), 0) << "links that are not the simulator's stay";
    EXPECT_EQ(sysfsText("usb1", "busnum"), "1\n");
}

TEST(UsbSimLayout, PortsSitWhereEachModelWiresThem)
{
    struct Case { uint32_t product; int port; const char* location; };
    const Case cases[] = {
        {346, 1, "1-1.1"}, {346, 2, "1-1.2"}, {347, 1, "2-2"},   {347, 2, "2-1"},     {347, 3, "1-1"},
        {353, 1, "1-1.1"}, {353, 7, "1-2.2"}, {353, 20, "1-4.5"}, {356, 6, "1-1.6"}, {356, 8, "1-1.7.2"},
        {365, 1, "2-1"},   {365, 2, "3-1"},   {366, 3, "1-1.3"}, {999, 4, "1-1.4"},
    };
    for (const Case& c : cases) {
        std::string location;
        std::string error;
        ASSERT_TRUE(usbsim::locationForPort(c.product, c.port, &location, &error)) << c.product << "/" << c.port;
        EXPECT_EQ(location, c.location) << c.product << "/" << c.port;
    }
    std::string location;
    std::string error;
    EXPECT_FALSE(usbsim::locationForPort(346, 3, &location, &error));
    EXPECT_EQ(error, "product 346 has no USB port 3");
    EXPECT_FALSE(usbsim::locationForPort(367, 4, &location, &error));
}

} // namespace
