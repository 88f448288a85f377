// The device scan against sysfs trees written as the kernel writes them (by
// the simulated host, plus hand-made entries for what no device produces).
#include "usbserver/usb_table_fixture.h"

#include "core/product/product_info.h"
#include "usbserver/usb_ids.h"

#include <fcntl.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

class UsbScan : public UsbTableTest {
public:
    // A device directory that no simulated device stands behind, linked
    // into the devices directory like the kernel's.
    void writeFakeDevice(const std::string& name, const std::map<std::string, std::string>& attributes)
    {
        const std::string dir = "/sys/devices/fake/" + name;
        for (const auto& [attribute, text] : attributes)
            root().writeFile(dir + "/" + attribute, text + "\n");
        std::filesystem::create_directory_symlink(root().dir() + dir,
                                                  root().dir() + "/sys/bus/usb/devices/" + name);
    }

    // Switches the box to another model with a fresh host and table.
    void useModel(uint32_t productId)
    {
        clearUsbTable();
        usbsim::resetForTest();
        useProduct(root(), "product_id=" + std::to_string(productId) + "\nusbtable_product_id="
                           + std::to_string(productId) + "\nusb_ports_phy=20\n");
        setUpUsbfsForProduct();
        configureUsbTable(productId);
        clearUsbPublishRecords();
    }
};

TEST_F(UsbScan, OneTreeGivesTheRowsTheBoxShares)
{
    plug("hub at=1-3");
    plug("loopback at=1-1.2 serial=L1");
    plug("keyboard at=1-1.3");
    plug("0424:2740 at=1-1.4");
    plug("storage at=1-2.3 speed=12");
    writeFakeDevice("9-9", {{"busnum", "9"}, {"devnum", "2"}, {"dev", "189:1025"}, {"idVendor", "1209"},
                            {"idProduct", "0001"}, {"bDeviceClass", "ff"}, {"devpath", ""}, {"speed", "480"}});

    EXPECT_EQ(rescanUsbDevices(), 3);
    EXPECT_EQ(usedRows(), 3) << "hubs, the excluded ids and an empty devpath take no row";

    struct Expected {
        const char* devpath;
        int port;
        int idProduct;
        int speed;
    };
    const Expected expected[] = {{"1.2", 2, 0x0001, kUsbSpeedHigh},
                                 {"1.3", 3, 0x0002, kUsbSpeedLow},
                                 {"2.3", 8, 0x0003, kUsbSpeedFull}};
    for (const Expected& e : expected) {
        int row = rowAt(1, e.devpath);
        ASSERT_GE(row, 0) << e.devpath;
        const UsbDeviceSlot& slot = usbDeviceTable[row];
        EXPECT_EQ(slot.state.load(), kUsbSlotPresent) << e.devpath;
        EXPECT_EQ(slot.port, e.port) << e.devpath;
        EXPECT_EQ(slot.idVendor, 0x1209) << e.devpath;
        EXPECT_EQ(slot.idProduct, e.idProduct) << e.devpath;
        EXPECT_EQ(slot.speed, e.speed) << e.devpath;
        EXPECT_EQ(slot.depth, 2) << e.devpath;
        EXPECT_EQ(slot.versionMajor, 2) << e.devpath;
        EXPECT_EQ(slot.bMaxPower > 0, true) << e.devpath;
        EXPECT_EQ(slot.fd.load(), -1) << "the descriptors are read and the file closed again";
        EXPECT_EQ(published(UsbPublishKind::Attach, row), 1) << e.devpath;
    }
    const UsbDeviceSlot& loopback = usbDeviceTable[rowAt(1, "1.2")];
    EXPECT_STREQ(loopback.manufacturer, "WEV Simulation");
    EXPECT_STREQ(loopback.product, "Loopback Device");
    EXPECT_STREQ(loopback.serial, "L1");

    // Nothing changed: nothing is added or published again.
    clearUsbPublishRecords();
    EXPECT_EQ(rescanUsbDevices(), 0);
    EXPECT_EQ(usedRows(), 3);
    EXPECT_TRUE(usbPublishRecords().empty());
}

TEST_F(UsbScan, HidDevicesAreLeftOutOnlyWhenHidSharingIsOff)
{
    plug("keyboard at=1-1.3");
    // A composite device whose second interface is HID: left out at the
    // interface check, before its file is ever opened.
    writeFakeDevice("8-1", {{"busnum", "8"}, {"devnum", "2"}, {"dev", "189:897"}, {"idVendor", "1209"},
                            {"idProduct", "0007"}, {"bDeviceClass", "00"}, {"devpath", "1"}, {"speed", "12"}});
    writeFakeDevice("8-1:1.0", {{"bInterfaceClass", "ff"}});
    writeFakeDevice("8-1:1.1", {{"bInterfaceClass", "03"}});

    params::zyt_hid()->setValue(0);
    EXPECT_EQ(rescanUsbDevices(), 0);
    EXPECT_EQ(usedRows(), 0);

    params::zyt_hid()->setValue(1);
    EXPECT_EQ(rescanUsbDevices(), 1);
    int keyboard = rowAt(1, "1.3");
    ASSERT_GE(keyboard, 0);
    EXPECT_EQ(usbDeviceTable[keyboard].state.load(), kUsbSlotPresent);
    EXPECT_GE(rowAt(8, "1"), 0) << "the composite device reaches the table once HID is shared";

    // Switched off while the keyboard is in the table: it leaves it.
    params::zyt_hid()->setValue(0);
    rescanUsbDevices();
    EXPECT_EQ(usbDeviceTable[keyboard].state.load(), kUsbSlotGone);
    EXPECT_EQ(published(UsbPublishKind::Detach, keyboard), 1);
}

TEST_F(UsbScan, EachModelMapsItsPortsItsOwnWay)
{
    struct Case {
        uint32_t product;
        const char* at;
        int bus;
        const char* devpath;
        int port;  // -1: not taken
    };
    const Case cases[] = {
        {346, "1-1", 1, "1", 0},  // a root port: in the table, never published
        {346, "1-1.2", 1, "1.2", 2},
        {346, "1-1.3", 1, "1.3", -1},
        {357, "1-1.1", 1, "1.1", 1},
        {347, "2-1", 2, "1", 2},
        {347, "2-2", 2, "2", 1},
        {347, "1-1", 1, "1", 3},
        {347, "3-1", 3, "1", 1},
        {347, "4-1", 4, "1", 0},
        {353, "1-1.1", 1, "1.1", 1},
        {353, "1-2.3", 1, "2.3", 8},
        {353, "1-4.5", 1, "4.5", 20},
        {356, "1-1.5", 1, "1.5", 5},
        {356, "1-1.7.2", 1, "1.7.2", 8},
        {365, "2-1", 2, "1", 1},
        {365, "3-1", 3, "1", 2},
        {365, "4-1", 4, "1", 2},
        {365, "1-1", 1, "1", 1},
        {366, "1-1.3", 1, "1.3", 3},
        {367, "2-1.1", 2, "1.1", 1},
        {366, "1-1.4", 1, "1.4", -1},
        {367, "3-1.2", 3, "1.2", 0},
        {999, "1-1.2", 1, "1.2", -1},  // a model without a port map shares nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.product) + " " + c.at);
        useModel(c.product);
        plug(std::string("loopback at=") + c.at);
        rescanUsbDevices();
        int row = rowAt(c.bus, c.devpath);
        if (c.port < 0) {
            EXPECT_EQ(row, -1);
            EXPECT_EQ(usedRows(), 0);
            continue;
        }
        ASSERT_GE(row, 0);
        EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotPresent);
        EXPECT_EQ(usbDeviceTable[row].port, c.port);
        EXPECT_EQ(published(UsbPublishKind::Attach, row), c.port > 0 ? 1 : 0);
        EXPECT_EQ(isSlotPresent(row, c.port), true);
    }
}

TEST_F(UsbScan, PortRulesForDevpathsNoDeviceGives)
{
    EXPECT_EQ(devpathToPort(353, 1, ""), -1);
    EXPECT_EQ(devpathToPort(353, 1, "3.4.5.6"), 14) << "numbers after the third are ignored";
    EXPECT_EQ(devpathToPort(356, 1, "1.7"), 6) << "a missing third number is 0";
    EXPECT_EQ(devpathToPort(347, 2, "4"), -1);
}

TEST_F(UsbScan, ANewDeviceNumberKeepsTheRowOnlyAboveTheDepthThreshold)
{
    // Product 353: threshold 2.
    plug("loopback at=1-1.2");
    plug("loopback at=1-1.3.1");
    ASSERT_EQ(rescanUsbDevices(), 2);
    struct Case {
        const char* devpath;
        bool keeps;
    };
    const Case cases[] = {{"1.2", false}, {"1.3.1", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devpath);
        UsbDeviceSlot& slot = usbDeviceTable[rowAt(1, c.devpath)];
        UsbDeviceInfo again = slot;
        again.devnum = slot.devnum + 40;
        EXPECT_EQ(slot.matches(again), c.keeps);
        EXPECT_EQ(slot.devnum == again.devnum, c.keeps) << "a kept row takes the new number";
        UsbDeviceInfo other = slot;
        other.idProduct ^= 1;
        EXPECT_FALSE(slot.matches(other));
    }

    configureUsbTable(347);  // threshold 0: any depth keeps its row
    UsbDeviceSlot& shallow = usbDeviceTable[rowAt(1, "1.2")];
    UsbDeviceInfo again = shallow;
    again.devnum += 7;
    EXPECT_TRUE(shallow.matches(again));
}

TEST_F(UsbScan, AReplugWhileTheOldRowIsGoneWaitsForThatRowToBeFreed)
{
    // Depth 2 does not match the gone row: the device is taken at once.
    std::string shallow = plug("loopback at=1-1.2");
    ASSERT_EQ(rescanUsbDevices(), 1);
    const int first = rowAt(1, "1.2");
    unplug(shallow);
    rescanUsbDevices();
    EXPECT_EQ(usbDeviceTable[first].state.load(), kUsbSlotGone);
    EXPECT_EQ(published(UsbPublishKind::Detach, first), 1);
    plug("loopback at=1-1.2");
    EXPECT_EQ(rescanUsbDevices(), 1);
    EXPECT_EQ(usedRows(), 2) << "the gone row and the new one";

    // Depth 3 matches the gone row: known, but not published until the gone
    // row is freed 100 ticks after it went.
    std::string deep = plug("loopback at=1-1.3.1");
    ASSERT_EQ(rescanUsbDevices(), 1);
    const int deepRow = rowAt(1, "1.3.1");
    unplug(deep);
    rescanUsbDevices();
    ASSERT_EQ(usbDeviceTable[deepRow].state.load(), kUsbSlotGone);
    plug("loopback at=1-1.3.1");
    clearUsbPublishRecords();
    advanceTicks(99);
    EXPECT_EQ(rescanUsbDevices(), 0);
    EXPECT_EQ(usbDeviceTable[deepRow].state.load(), kUsbSlotGone);
    EXPECT_EQ(published(UsbPublishKind::Attach, deepRow), 0);

    advanceTicks(1);
    EXPECT_EQ(rescanUsbDevices(), 1) << "freed at 100 ticks and taken again as new";
    int row = rowAt(1, "1.3.1");
    ASSERT_GE(row, 0);
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotPresent);
    EXPECT_EQ(published(UsbPublishKind::Attach, row), 1);
    EXPECT_EQ(usedRows(), 2) << "both gone rows were freed; the two devices hold one row each";
}

TEST_F(UsbScan, SpeedTexts)
{
    struct Case {
        const char* text;
        int speed;
    };
    // "10000" and "20000" are super speed (plus): the device list has no
    // code above 5, and calling them full speed would be plainly wrong.
    const Case cases[] = {{"1.5", kUsbSpeedLow},    {"12", kUsbSpeedFull},     {"480", kUsbSpeedHigh},
                          {"5000", kUsbSpeedSuper}, {"10000", kUsbSpeedSuper}, {"20000", kUsbSpeedSuper},
                          {"", kUsbSpeedFull},      {"unknown", kUsbSpeedFull}};
    for (const Case& c : cases)
        EXPECT_EQ(usbSpeedFromText(c.text), c.speed) << '"' << c.text << '"';

    plug("keyboard at=1-1.1 speed=1.5");
    rescanUsbDevices();
    EXPECT_EQ(usbDeviceTable[rowAt(1, "1.1")].speed, kUsbSpeedLow);
}

TEST_F(UsbScan, DevpathHashWrapsWithoutUndefinedShifts)
{
    EXPECT_EQ(devpathHashOf("1.12"), ((1u << 4) ^ 12u ^ 2u));
    EXPECT_EQ(devpathHashOf("1"), 1u);
    // Far more dots than 32 bits hold: shifted out, as an unsigned value does.
    std::string deep = "7";
    for (int i = 0; i < 20; ++i)
        deep += ".7";
    EXPECT_EQ(devpathHashOf(deep.c_str()), 0x77777777u);
    EXPECT_NE(devpathHashOf("1.2"), devpathHashOf("2.1"));
}

TEST_F(UsbScan, UnreadableDescriptorsKeepTheRowUnpublishedButKnown)
{
    std::string broken = plug("broken fault=extra-config at=1-1.2");
    EXPECT_EQ(rescanUsbDevices(), 0);
    int row = rowAt(1, "1.2");
    ASSERT_GE(row, 0);
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotPresent);
    EXPECT_EQ(usbDeviceTable[row].configCount, 2);
    EXPECT_EQ(usbDeviceTable[row].fd.load(), -1);

    for (int scan = 0; scan < 3; ++scan) {
        advanceTicks(100);
        EXPECT_EQ(rescanUsbDevices(), 0);
        EXPECT_EQ(usedRows(), 1) << "still matched, never taken again";
        EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotPresent);
    }
    EXPECT_TRUE(usbPublishRecords().empty());

    // It never was attached, so it is not detached either.
    unplug(broken);
    rescanUsbDevices();
    EXPECT_EQ(usbDeviceTable[row].state.load(), kUsbSlotGone);
    EXPECT_TRUE(usbPublishRecords().empty());
}

TEST_F(UsbScan, NoFreeRowLeavesTheDeviceOutUntilOneFrees)
{
    useModel(346);  // 6 rows
    std::vector<std::string> names;
    for (const char* at : {"1-1.1", "1-1.2", "2-1.1", "2-1.2", "3-1.1", "3-1.2"})
        names.push_back(plug(std::string("loopback at=") + at));
    ASSERT_EQ(rescanUsbDevices(), 6);
    plug("loopback at=4-1.1");
    EXPECT_EQ(rescanUsbDevices(), 0);
    EXPECT_EQ(rowAt(4, "1.1"), -1);

    unplug(names[0]);
    rescanUsbDevices();
    EXPECT_EQ(rowAt(4, "1.1"), -1) << "the gone row is not free yet";
    advanceTicks(100);
    EXPECT_EQ(rescanUsbDevices(), 1);
    EXPECT_GE(rowAt(4, "1.1"), 0);
}

TEST_F(UsbScan, TheIdListFillsEmptyNames)
{
    root().writeFile("/romfs/usb.ids",
                     "# a comment line\n"
                     "000c  Zero C Corp\n"
                     "1209  Generic\n"
                     "\t0002  Keyboard Thing\n"
                     "\t\t01  An interface line, not product 0001\n"
                     "\t0001  pid.codes Test PID\n"
                     "\t0003  " + std::string(100, 'x') + "\n"
                     "1d6b  Linux Foundation\n"
                     "\t0001  Not Generic's product\n"
                     "C 0b  Class line, not vendor 000b\n");
    struct Case {
        int vendor;
        int product;
        int found;
        const char* vendorName;
        const char* productName;
    };
    const Case cases[] = {
        {0x1209, 0x0001, kUsbIdsVendorFound | kUsbIdsProductFound, "Generic", "pid.codes Test PID"},
        {0x1209, 0x0002, kUsbIdsVendorFound | kUsbIdsProductFound, "Generic", "Keyboard Thing"},
        {0x1209, 0x0099, kUsbIdsVendorFound, "Generic", "kept"},
        {0x1209, 0x0003, kUsbIdsVendorFound | kUsbIdsProductFound, "Generic", nullptr},
        {0x000b, 0x0001, 0, "kept", "kept"},
        {0x000c, 0x0001, kUsbIdsVendorFound, "Zero C Corp", "kept"},
        {0x4242, 0x0001, 0, "kept", "kept"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.vendor) + ":" + std::to_string(c.product));
        char vendorName[kUsbTextSize] = "kept";
        char productName[kUsbTextSize] = "kept";
        EXPECT_EQ(lookupUsbIds(c.vendor, c.product, vendorName, sizeof vendorName, productName,
                               sizeof productName),
                  c.found);
        EXPECT_STREQ(vendorName, c.vendorName);
        if (c.productName)
            EXPECT_STREQ(productName, c.productName);
        else
            EXPECT_EQ(std::string(productName), std::string(63, 'x')) << "cut to 63 characters";
    }
    char name[kUsbTextSize] = "kept";
    EXPECT_EQ(lookupUsbIds("/nonexistent/usb.ids", 0x1209, 1, name, sizeof name, name, sizeof name), 0);

    // Through the scan: both names come from the list when one is empty; an
    // unlisted product keeps the device's own text.
    plug("1209:0001 at=1-1.1 manufacturer=");
    plug("1209:0099 at=1-1.2 manufacturer= product=OwnProduct");
    plug("1209:0002 at=1-1.3 manufacturer=Maker product=Gadget");
    rescanUsbDevices();
    const UsbDeviceSlot& listed = usbDeviceTable[rowAt(1, "1.1")];
    EXPECT_STREQ(listed.manufacturer, "Generic");
    EXPECT_STREQ(listed.product, "pid.codes Test PID");
    const UsbDeviceSlot& unlisted = usbDeviceTable[rowAt(1, "1.2")];
    EXPECT_STREQ(unlisted.manufacturer, "Generic");
    EXPECT_STREQ(unlisted.product, "OwnProduct");
    const UsbDeviceSlot& named = usbDeviceTable[rowAt(1, "1.3")];
    EXPECT_STREQ(named.manufacturer, "Maker");
    EXPECT_STREQ(named.product, "Gadget");
}

TEST_F(UsbScan, AnOpenThatFindsTheDeviceGoneRetiresTheRowOtherErrorsDoNot)
{
    std::string name = plug("loopback at=1-1.2");
    ASSERT_EQ(rescanUsbDevices(), 1);
    const int row = rowAt(1, "1.2");
    UsbDeviceSlot& slot = usbDeviceTable[row];

    for (const char* error : {"EMFILE", "ENOMEM", "EBUSY"}) {
        SCOPED_TRACE(error);
        ASSERT_EQ(usbsim::command("inject " + name + " open " + error + " 1").compare(0, 2, "ok"), 0);
        int descriptor = -1;
        EXPECT_LT(slot.openDevice(O_RDONLY, &descriptor), 0);
        EXPECT_EQ(descriptor, -1);
        EXPECT_EQ(slot.state.load(), kUsbSlotPresent);
    }
    EXPECT_EQ(published(UsbPublishKind::Detach, row), 0);

    EXPECT_EQ(slot.openDevice(O_RDWR, nullptr), 1);
    EXPECT_EQ(slot.openDevice(O_RDWR, nullptr), 0) << "the row's own file is open already";
    EXPECT_EQ(slot.closeDevice(), 1);
    EXPECT_EQ(slot.closeDevice(), 0);

    ASSERT_EQ(usbsim::command("inject " + name + " open ENODEV 1").compare(0, 2, "ok"), 0);
    EXPECT_EQ(slot.openDevice(O_RDWR, nullptr), -ENODEV);
    EXPECT_EQ(slot.state.load(), kUsbSlotGone);
    EXPECT_EQ(slot.goneTick.load(), 1000u);
    EXPECT_EQ(published(UsbPublishKind::Detach, row), 1);

    // The next scan does not detach it again; 100 ticks later the row is
    // freed and the device, still there, taken again as new.
    rescanUsbDevices();
    EXPECT_EQ(published(UsbPublishKind::Detach, row), 1);
    advanceTicks(100);
    EXPECT_EQ(rescanUsbDevices(), 1);
    EXPECT_EQ(published(UsbPublishKind::Attach, rowAt(1, "1.2")), 2);
}

TEST_F(UsbScan, ADeviceThatCannotBeOpenedForAMomentIsTakenAtTheNextScan)
{
    std::string name = plug("loopback at=1-1.2");
    ASSERT_EQ(usbsim::command("inject " + name + " open EMFILE 1").compare(0, 2, "ok"), 0);
    EXPECT_EQ(rescanUsbDevices(), 0);
    EXPECT_EQ(usedRows(), 0) << "the row is given back, not kept unpublished";
    EXPECT_EQ(rescanUsbDevices(), 1);
    EXPECT_EQ(published(UsbPublishKind::Attach, rowAt(1, "1.2")), 1);
}

TEST_F(UsbScan, PrepareUsbFsMakesTheDeviceDirectoriesWithExplicitModes)
{
    std::filesystem::create_directory(root().dir() + "/dev");
    mode_t old = umask(077);
    EXPECT_EQ(prepareUsbFs(), 1);
    EXPECT_EQ(umask(old), 077) << "the process keeps its file mode mask";
    struct stat st;
    ASSERT_EQ(stat((root().dir() + "/dev/bus/usb").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777u);

    root().writeFile("/proc/mounts", "sysfs /sys sysfs rw 0 0\nproc /proc proc rw 0 0\n");
    EXPECT_EQ(isMounted("/sys"), 0);
    EXPECT_EQ(isMounted("/sys/kernel/debug"), -1);
}

} // namespace
