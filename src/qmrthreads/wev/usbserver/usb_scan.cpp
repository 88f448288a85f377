#include "usbserver/usb_scan.h"

#include "core/util/line_reader.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "platform/files/root_path.h"
#include "core/task/task.h"
#include "core/task/tick_clock.h"
#include "platform/usbfs/usbfs.h"
#include "usbserver/usb_ids.h"
#include "usbserver/usb_publish.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

pthread_mutex_t scanMutex = PTHREAD_MUTEX_INITIALIZER;

// A gone row is kept this long, so that a device that bounces is not taken
// as new twice within a second.
constexpr uint32_t kGoneKeepTicks = 100;
// A task waiting for another thread's scan serves its messages in steps of
// this many ticks; other threads sleep in short steps. Both give up after
// about 10 seconds: a scan that long is stuck, and a waiting caller would
// not scan anyway.
constexpr int kScanWaitTicks = 20;
constexpr int kScanWaitTaskSteps = 50;
constexpr int kScanWaitSleepMs = 10;
constexpr int kScanWaitSleepSteps = 1000;

// sysfs attributes are short; a longer file is cut.
constexpr int kSysfsReadSize = 64;

// Takes the scan mutex. *waited tells whether another scan held it first.
bool takeScanMutex(bool* waited)
{
    *waited = false;
    Task* task = Task::current();
    const int steps = task ? kScanWaitTaskSteps : kScanWaitSleepSteps;
    for (int step = 0;; ++step) {
        int rc = pthread_mutex_trylock(&scanMutex);
        if (rc == 0)
            return true;
        if (rc != EBUSY) {
            fprintf(stderr, "%s error:0x%x\n", "rescanUsbDevices", rc);
            return false;
        }
        if (step >= steps)
            return false;
        *waited = true;
        if (task)
            task->waitFor(kScanWaitTicks, -1);
        else
            poll(nullptr, 0, kScanWaitSleepMs);
    }
}

std::string attributePath(const char* dir, const char* name)
{
    std::string path(dir);
    path += '/';
    path += name;
    return path;
}

// Up to 64 bytes of an attribute, cut at the first newline and after 63
// characters; empty when the file is missing.
void readSysfsText(const char* dir, const char* name, char* out, size_t size)
{
    out[0] = '\0';
    int fd = open(attributePath(dir, name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    char buffer[kSysfsReadSize + 1];
    ssize_t n = read(fd, buffer, kSysfsReadSize);
    close(fd);
    if (n <= 0)
        return;
    buffer[n] = '\0';
    size_t length = strcspn(buffer, "\n");
    if (length >= size)
        length = size - 1;
    memcpy(out, buffer, length);
    out[length] = '\0';
}

// A numeric attribute in base 10 or 16; 0 when the file is missing.
int readSysfsNumber(const char* dir, const char* name, int base)
{
    char text[kSysfsReadSize + 1];
    readSysfsText(dir, name, text, sizeof text);
    return static_cast<int>(strtol(text, nullptr, base));
}

// The names in the devices directory that can be devices ("[1-9]*"), in
// byte order; root hubs ("usbN") are left out by the pattern.
std::vector<std::string> listDeviceEntries(const std::string& base)
{
    std::vector<std::string> names;
    DIR* dir = opendir(base.c_str());
    if (!dir) {
        fprintf(stderr, "%s %s: %s\n", "scanSysfsDevices", base.c_str(), strerror(errno));
        return names;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9')
            names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Any interface entry of the device ("1-1.2:1.0" of "1-1.2") of class HID.
bool hasHidInterface(const std::vector<std::string>& names, const std::string& base, const std::string& device)
{
    for (const std::string& name : names) {
        if (name.size() <= device.size() || name.compare(0, device.size(), device) != 0
            || name[device.size()] != ':')
            continue;
        if (readSysfsNumber((base + "/" + name).c_str(), "bInterfaceClass", 16) == 3)
            return true;
    }
    return false;
}

bool isHub(int deviceClass, int deviceSubClass)
{
    return deviceClass == 9 && deviceSubClass == 0;
}

bool isNeverTaken(int vendor, int product)
{
    return vendor == 0x0424 && product == 0x2740;
}

struct DevpathNumbers {
    int a = 0;
    int b = 0;
    int c = 0;
};

// Up to three dot-separated numbers; false for an empty devpath.
bool splitDevpath(const char* devpath, DevpathNumbers* out)
{
    if (!devpath || !devpath[0])
        return false;
    int* parts[3] = {&out->a, &out->b, &out->c};
    const char* p = devpath;
    for (int i = 0; i < 3 && *p; ++i) {
        *parts[i] = static_cast<int>(strtol(p, nullptr, 10));
        const char* dot = strchr(p, '.');
        if (!dot)
            break;
        p = dot + 1;
    }
    return true;
}

int depthOf(const char* devpath)
{
    int depth = 1;
    for (const char* p = devpath; *p; ++p)
        if (*p == '.')
            ++depth;
    return depth;
}

// Rows gone long enough and let go by their owner become free; a row whose
// owner still holds it is asked again (the first request may have been lost).
void freeExpiredGoneRows()
{
    const uint32_t now = static_cast<uint32_t>(boardTicks());
    for (int row = 0; row < usbRowCount.load(); ++row) {
        UsbDeviceSlot& slot = usbDeviceTable[row];
        if (slot.state.load() != kUsbSlotGone || now - slot.goneTick.load() < kGoneKeepTicks)
            continue;
        bool owned = false;
        bool held = false;
        {
            UsbRowLock lock(row);
            if (!lock.locked())
                continue;
            owned = slot.owner != nullptr;
            held = slot.fd.load() >= 0;
        }
        if (owned)
            dropSlotOwner(row);
        else if (!held)
            slot.reset();
    }
}

void markPresentRowsUnseen()
{
    for (int row = 0; row < usbRowCount.load(); ++row) {
        UsbDeviceSlot& slot = usbDeviceTable[row];
        int state = slot.state.load();
        slot.unseen.store(state == kUsbSlotPresent || state == kUsbSlotConnected ? 1 : 0);
    }
}

// Rows whose device the walk did not find again have gone away.
void retireUnseenRows()
{
    for (int row = 0; row < usbRowCount.load(); ++row) {
        UsbDeviceSlot& slot = usbDeviceTable[row];
        bool published = false;
        {
            UsbRowLock lock(row);
            if (!lock.locked() || !slot.unseen.load())
                continue;
            slot.unseen.store(0);
            int state = slot.state.load();
            if (state != kUsbSlotPresent && state != kUsbSlotConnected)
                continue;
            slot.state.store(kUsbSlotGone);
            slot.goneTick.store(static_cast<uint32_t>(boardTicks()));
            published = slot.attachPublished.exchange(false);
        }
        if (published)
            publishDetach(row);
        dropSlotOwner(row);
    }
}

// Fills empty names from the id list; both names are taken from there when
// listed.
void fillNamesFromIdList(int row)
{
    UsbDeviceSlot& slot = usbDeviceTable[row];
    if (slot.manufacturer[0] && slot.product[0])
        return;
    char vendorName[kUsbTextSize] = {};
    char productName[kUsbTextSize] = {};
    int found = lookupUsbIds(slot.idVendor, slot.idProduct, vendorName, sizeof vendorName, productName,
                             sizeof productName);
    if (!found)
        return;
    lockUsbList(1);
    if (found & kUsbIdsVendorFound)
        memcpy(slot.manufacturer, vendorName, sizeof slot.manufacturer);
    if (found & kUsbIdsProductFound)
        memcpy(slot.product, productName, sizeof slot.product);
    lockUsbList(0);
}

void makeDirectory(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return;
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "%s mkdir %s: %s\n", "prepareUsbFs", path.c_str(), strerror(errno));
        return;
    }
    // The mode is set explicitly: the process keeps its restrictive umask.
    chmod(path.c_str(), 0777);
}

} // namespace

int UsbDeviceInfo::makeDevNode() const
{
    char name[48];
    snprintf(name, sizeof name, "/dev/bus/usb/%03d", busnum);
    std::string dir = boxPath(name);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
            fprintf(stderr, "%s mkdir %s: %s\n", "makeDevNode", dir.c_str(), strerror(errno));
            return 0;
        }
        chmod(dir.c_str(), 0777);
    }
    snprintf(name, sizeof name, "/%03d", devnum);
    std::string node = dir + name;
    if (lstat(node.c_str(), &st) == 0)
        return 1;
    if (mknod(node.c_str(), S_IFCHR | 0777, makedev(devMajor, devMinor)) != 0) {
        fprintf(stderr, "%s mknod %s: %s\n", "makeDevNode", node.c_str(), strerror(errno));
        return 0;
    }
    chmod(node.c_str(), 0777);
    return 1;
}

int usbSpeedFromText(const char* text)
{
    if (text[0] && text[1] == '.')
        return kUsbSpeedLow;
    long mbits = strtol(text, nullptr, 10);
    if (mbits == 12)
        return kUsbSpeedFull;
    if (mbits == 480)
        return kUsbSpeedHigh;
    if (mbits >= 5000)
        return kUsbSpeedSuper;
    return kUsbSpeedFull;
}

uint32_t devpathHashOf(const char* devpath)
{
    uint32_t hash = 0;
    for (int i = 0; i < kUsbTextSize && devpath[i]; ++i) {
        if (devpath[i] == '.')
            hash <<= 4;
        else
            hash ^= static_cast<uint32_t>(strtoul(devpath + i, nullptr, 10));
    }
    return hash;
}

int devpathToPort(uint32_t productId, int bus, const char* devpath)
{
    DevpathNumbers n;
    if (!splitDevpath(devpath, &n))
        return -1;
    switch (productId) {
    case 346:
    case 357:
        return n.b >= 3 ? -1 : n.b;
    case 347:
        if (bus == 2)
            return 3 - n.a;
        if (bus == 3)
            return 1;
        if (bus == 1)
            return 3;
        return 0;
    case 353:
        return n.b + 5 * (n.a - 1);
    case 356:
        return n.b >= 7 ? n.c + 6 : n.b;
    case 365:
        if (bus == 2)
            return 1;
        if (bus == 3 || bus == 4)
            return 2;
        return 1;
    case 366:
    case 367:
        if (n.b >= 4)
            return -1;
        return bus == 1 || bus == 2 ? n.b : 0;
    default:
        return -1;
    }
}

int readSysfsDevice(const char* path, UsbDeviceInfo* info)
{
    *info = UsbDeviceInfo{};
    info->busnum = readSysfsNumber(path, "busnum", 10);
    info->devnum = readSysfsNumber(path, "devnum", 10);
    info->bMaxPower = readSysfsNumber(path, "bMaxPower", 10);
    int bcdDevice = readSysfsNumber(path, "bcdDevice", 16);
    info->idProduct = readSysfsNumber(path, "idProduct", 16);
    info->idVendor = readSysfsNumber(path, "idVendor", 16);
    if (isNeverTaken(info->idVendor, info->idProduct))
        return 0;

    char dev[kUsbTextSize];
    char speed[kUsbTextSize];
    char version[kUsbTextSize];
    char devpath[kUsbTextSize];
    readSysfsText(path, "dev", dev, sizeof dev);
    readSysfsText(path, "product", info->product, sizeof info->product);
    readSysfsText(path, "serial", info->serial, sizeof info->serial);
    readSysfsText(path, "speed", speed, sizeof speed);
    readSysfsText(path, "version", version, sizeof version);
    readSysfsText(path, "devpath", devpath, sizeof devpath);
    readSysfsText(path, "manufacturer", info->manufacturer, sizeof info->manufacturer);
    if (sscanf(dev, "%d:%d", &info->devMajor, &info->devMinor) != 2)
        return 0;
    info->speed = usbSpeedFromText(speed);
    info->port = devpathToPort(productInfo().product_id, info->busnum, devpath);
    if (info->port < 0)
        return 0;
    info->depth = depthOf(devpath);
    info->devpathHash = devpathHashOf(devpath);
    if (sscanf(version, "%d.%02d", &info->versionMajor, &info->versionMinor) < 2)
        info->versionMinor = 0;
    info->bcdDeviceHigh = (bcdDevice >> 8) & 0xff;
    info->bcdDeviceLow = bcdDevice & 0xff;
    info->deviceClass = readSysfsNumber(path, "bDeviceClass", 16);
    info->deviceSubClass = readSysfsNumber(path, "bDeviceSubClass", 16);
    return 1;
}

int addScannedDevice(const UsbDeviceInfo& scanned)
{
    int freeRow = -1;
    for (int row = 0; row < usbRowCount.load(); ++row) {
        UsbDeviceSlot& slot = usbDeviceTable[row];
        if (slot.state.load() == kUsbSlotFree) {
            if (freeRow < 0)
                freeRow = row;
            continue;
        }
        if (slot.matches(scanned))
            return 0;
    }
    if (freeRow < 0)
        return -1;

    UsbDeviceSlot& slot = usbDeviceTable[freeRow];
    lockUsbList(1);
    static_cast<UsbDeviceInfo&>(slot) = scanned;
    lockUsbList(0);
    {
        UsbRowLock lock(freeRow);
        slot.unseen.store(0);
        slot.state.store(kUsbSlotPresent);
    }
    int descriptors = slot.readDescriptors();
    if (descriptors < 0 && slot.state.load() == kUsbSlotPresent) {
        // Not opened for a passing reason (no descriptor or memory left, the
        // device busy): give the row back, so the next scan tries again
        // instead of keeping a device that is never published.
        slot.reset();
        return -1;
    }
    if (descriptors <= 0)
        return -1;
    fillNamesFromIdList(freeRow);
    slot.attachPublished.store(true);
    publishAttach(freeRow);
    return 1;
}

int scanSysfsDevices()
{
    // The simulated host applies the plugs and unplugs queued from outside
    // here, so that the walk below sees them.
    usbHostPoll();
    const bool shareHid = params::zyt_hid()->isOn();
    const std::string base = boxPath("/sys/bus/usb/devices");
    const std::vector<std::string> names = listDeviceEntries(base);
    int added = 0;
    for (const std::string& name : names) {
        if (name.find(':') != std::string::npos)
            continue;
        const std::string dir = base + "/" + name;
        int deviceClass = readSysfsNumber(dir.c_str(), "bDeviceClass", 16);
        int deviceSubClass = readSysfsNumber(dir.c_str(), "bDeviceSubClass", 16);
        if (isHub(deviceClass, deviceSubClass))
            continue;
        if (!shareHid && (deviceClass == 3 || hasHidInterface(names, base, name)))
            continue;
        UsbDeviceInfo info;
        if (!readSysfsDevice(dir.c_str(), &info))
            continue;
        info.makeDevNode();
        if (addScannedDevice(info) == 1)
            ++added;
    }
    return added;
}

int rescanUsbDevices()
{
    bool waited = false;
    if (!takeScanMutex(&waited))
        return 0;
    if (waited) {
        // The scan that ran meanwhile did this caller's work.
        pthread_mutex_unlock(&scanMutex);
        return 0;
    }
    freeExpiredGoneRows();
    markPresentRowsUnseen();
    int added = scanSysfsDevices();
    retireUnseenRows();
    pthread_mutex_unlock(&scanMutex);
    return added;
}

int isMounted(const char* text)
{
    FILE* mounts = fopen(boxPath("/proc/mounts").c_str(), "re");
    if (!mounts)
        return -1;
    char line[512];
    int result = -1;
    while (readLine(mounts, line, sizeof line)) {
        if (strstr(line, text)) {
            result = 0;
            break;
        }
    }
    fclose(mounts);
    return result;
}

void setUpUsbfsForProduct()
{
    usbfs().setUp(UsbfsSetup{productInfo().product_id, productInfo().usb_ports_phy});
}

int prepareUsbFs()
{
    // Before the first scan, so that the back-end serves this model from
    // its first answer on.
    setUpUsbfsForProduct();
    // A box root's "sys" is the simulated tree or a link to the real one,
    // made by whoever made the root; only the box itself may need a mount.
    if (rootPrefix().empty() && isMounted("/sys") != 0) {
        if (mount("none", boxPath("/sys").c_str(), "sysfs", 0, nullptr) != 0) {
            fprintf(stderr, "%s mount sysfs: %s\n", "prepareUsbFs", strerror(errno));
            return 0;
        }
    }
    makeDirectory(boxPath("/dev/bus"));
    makeDirectory(boxPath("/dev/bus/usb"));
    return 1;
}
