#include "platform/usbfs/sim/usb_sim_sysfs.h"

#include "platform/files/file_replace.h"
#include "platform/files/root_path.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace usbsim {

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

bool makeDirs(const std::string& path)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return !ec;
}

void removeTree(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

bool writeFile(const std::string& path, const void* data, size_t size)
{
    return replaceFile(path, std::string_view(static_cast<const char*>(data), size), 0444, false).ok();
}

bool writeText(const std::string& dir, const char* name, const std::string& text)
{
    return writeFile(dir + "/" + name, text.data(), text.size());
}

std::string busDevicesDir()
{
    return boxPath("/sys/bus/usb/devices");
}

std::string hostDir(int bus)
{
    return boxPath(format("/sys/devices/platform/usbsim-hcd.%d", bus));
}

// The link target of a directory under the root's /sys, from /sys/bus/usb/devices.
std::string linkTarget(const std::string& dir)
{
    std::string sys = boxPath("/sys");
    return "../../.." + dir.substr(sys.size());
}

void makeLink(const std::string& dir, const std::string& name)
{
    std::string link = busDevicesDir() + "/" + name;
    unlink(link.c_str());
    if (symlink(linkTarget(dir).c_str(), link.c_str()) != 0)
        fprintf(stderr, "usbsim: cannot link %s: %s\n", link.c_str(), strerror(errno));
}

std::string descriptorsBlob(const SimDevice& device)
{
    std::string blob(device.model->deviceDescriptor().begin(), device.model->deviceDescriptor().end());
    for (const std::vector<uint8_t>& config : device.model->configDescriptors())
        blob.append(config.begin(), config.end());
    return blob;
}

int maxPowerMilliamps(const SimDevice& device, const ConfigInfo& config)
{
    return config.maxPower * (device.model->speed() == Speed::Super ? 8 : 2);
}

std::string interfaceName(const SimDevice& device, int number)
{
    return format("%s:%d.%d", device.name.c_str(), device.activeConfig, number);
}

void writeInterface(const SimDevice& device, const std::string& dir, const AltSettingInfo& alt)
{
    writeText(dir, "bInterfaceNumber", format("%02x\n", alt.number));
    writeText(dir, "bAlternateSetting", format("%2d\n", alt.alt));
    writeText(dir, "bNumEndpoints", format("%02x\n", static_cast<unsigned>(alt.endpoints.size())));
    writeText(dir, "bInterfaceClass", format("%02x\n", alt.cls));
    writeText(dir, "bInterfaceSubClass", format("%02x\n", alt.subClass));
    writeText(dir, "bInterfaceProtocol", format("%02x\n", alt.protocol));
    writeText(dir, "authorized", "1\n");
    std::string text = device.model->stringText(alt.iInterface);
    std::string path = dir + "/interface";
    if (text.empty())
        unlink(path.c_str());
    else
        writeText(dir, "interface", text + "\n");
}

void removeInterfaces(const SimDevice& device)
{
    DIR* d = opendir(device.sysfsDir.c_str());
    if (!d)
        return;
    std::string prefix = device.name + ":";
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d))
        if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
            names.push_back(e->d_name);
    closedir(d);
    for (const std::string& name : names) {
        unlink((busDevicesDir() + "/" + name).c_str());
        removeTree(device.sysfsDir + "/" + name);
    }
}

void writeInterfaces(const SimDevice& device)
{
    const ConfigInfo* config = device.active();
    if (!config)
        return;
    for (uint8_t number : config->interfaceNumbers()) {
        const AltSettingInfo* alt = device.currentAlt(number);
        if (!alt)
            continue;
        std::string dir = device.sysfsDir + "/" + interfaceName(device, number);
        makeDirs(dir);
        writeInterface(device, dir, *alt);
    }
}

void linkInterfaces(const SimDevice& device)
{
    const ConfigInfo* config = device.active();
    if (!config)
        return;
    for (uint8_t number : config->interfaceNumbers()) {
        std::string name = interfaceName(device, number);
        makeLink(device.sysfsDir + "/" + name, name);
    }
}

void writeConfigurationAttributes(const SimDevice& device, const std::string& dir)
{
    const ConfigInfo* config = device.active();
    // The kernel prints nothing for these while the device is unconfigured.
    writeText(dir, "bConfigurationValue", config ? format("%u\n", config->value) : "");
    writeText(dir, "bNumInterfaces",
              config ? format("%2d\n", static_cast<int>(config->interfaceNumbers().size())) : "");
    writeText(dir, "bmAttributes", config ? format("%2x\n", config->attributes) : "");
    writeText(dir, "bMaxPower", config ? format("%dmA\n", maxPowerMilliamps(device, *config)) : "");
    std::string text = config ? device.model->stringText(config->iConfiguration) : "";
    writeText(dir, "configuration", text.empty() ? "" : text + "\n");
}

void writeDeviceAttributes(const SimDevice& device, const std::string& dir)
{
    const std::vector<uint8_t>& d = device.model->deviceDescriptor();
    unsigned bcdUsb = d[2] | d[3] << 8;
    writeText(dir, "idVendor", format("%04x\n", device.model->vendor()));
    writeText(dir, "idProduct", format("%04x\n", device.model->product()));
    writeText(dir, "bcdDevice", format("%04x\n", static_cast<unsigned>(d[12] | d[13] << 8)));
    writeText(dir, "bDeviceClass", format("%02x\n", d[4]));
    writeText(dir, "bDeviceSubClass", format("%02x\n", d[5]));
    writeText(dir, "bDeviceProtocol", format("%02x\n", d[6]));
    writeText(dir, "bMaxPacketSize0", format("%d\n", d[7]));
    writeText(dir, "bNumConfigurations", format("%d\n", d[17]));
    writeText(dir, "busnum", format("%d\n", device.bus));
    writeText(dir, "devnum", format("%d\n", device.devnum));
    writeText(dir, "devpath", device.devpath + "\n");
    writeText(dir, "maxchild", format("%d\n", device.model->ports()));
    writeText(dir, "speed", std::string(speedText(device.model->speed())) + "\n");
    writeText(dir, "version", format("%2x.%02x\n", bcdUsb >> 8, bcdUsb & 0xff));
    writeText(dir, "dev", format("%d:%d\n", kUsbDeviceMajor, usbDeviceMinor(device.bus, device.devnum)));
    writeText(dir, "authorized", "1\n");
    writeText(dir, "uevent",
              format("MAJOR=%d\nMINOR=%d\nDEVNAME=bus/usb/%03d/%03d\nDEVTYPE=usb_device\nDRIVER=usb\n"
                     "PRODUCT=%x/%x/%x\nTYPE=%d/%d/%d\nBUSNUM=%03d\nDEVNUM=%03d\n",
                     kUsbDeviceMajor, usbDeviceMinor(device.bus, device.devnum), device.bus, device.devnum,
                     device.model->vendor(), device.model->product(), static_cast<unsigned>(d[12] | d[13] << 8),
                     d[4], d[5], d[6], device.bus, device.devnum));
    struct Name { const char* file; uint8_t index; };
    for (const Name& n : {Name{"manufacturer", d[14]}, Name{"product", d[15]}, Name{"serial", d[16]}}) {
        std::string text = device.model->stringText(n.index);
        if (!text.empty())
            writeText(dir, n.file, text + "\n");
    }
    std::string blob = descriptorsBlob(device);
    writeFile(dir + "/descriptors", blob.data(), blob.size());
    writeConfigurationAttributes(device, dir);
}

bool makeDevNode(const SimDevice& device)
{
    std::string path = devNodePath(device.bus, device.devnum);
    size_t slash = path.rfind('/');
    if (!makeDirs(path.substr(0, slash)))
        return false;
    unlink(path.c_str());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace

std::string devNodePath(int bus, int devnum)
{
    return boxPath(format("/dev/bus/usb/%03d/%03d", bus, devnum));
}

bool sysfsAddDevice(SimDevice& device, const std::string& parentDir, std::string* error)
{
    std::string base = parentDir.empty() ? hostDir(device.bus) : parentDir;
    std::string dir = base + "/" + device.name;
    std::string building = base + "/.building-" + device.name;
    removeTree(building);
    removeTree(dir);
    if (!makeDirs(busDevicesDir()) || !makeDirs(building)) {
        *error = "cannot make " + building + ": " + strerror(errno);
        return false;
    }
    device.sysfsDir = building;
    writeDeviceAttributes(device, building);
    writeInterfaces(device);
    if (rename(building.c_str(), dir.c_str()) != 0) {
        *error = "cannot move " + building + " into place: " + strerror(errno);
        removeTree(building);
        return false;
    }
    device.sysfsDir = dir;
    if (!makeDevNode(device)) {
        *error = "cannot make the node " + devNodePath(device.bus, device.devnum) + ": " + strerror(errno);
        removeTree(dir);
        return false;
    }
    // The device's own link last: a scan sees the device only once its
    // interfaces are there too.
    linkInterfaces(device);
    makeLink(dir, device.name);
    return true;
}

void sysfsRemoveDevice(const SimDevice& device)
{
    if (device.sysfsDir.empty())
        return;
    removeInterfaces(device);
    unlink((busDevicesDir() + "/" + device.name).c_str());
    removeTree(device.sysfsDir);
    unlink(devNodePath(device.bus, device.devnum).c_str());
}

void sysfsUpdateConfiguration(const SimDevice& device)
{
    removeInterfaces(device);
    writeConfigurationAttributes(device, device.sysfsDir);
    writeInterfaces(device);
    linkInterfaces(device);
}

void sysfsUpdateAltSetting(const SimDevice& device, int number)
{
    const AltSettingInfo* alt = device.currentAlt(number);
    if (!alt)
        return;
    writeInterface(device, device.sysfsDir + "/" + interfaceName(device, number), *alt);
}

void sysfsRemoveAll()
{
    if (rootPrefix().empty())
        return;  // never the machine's own tree
    std::string platform = boxPath("/sys/devices/platform");
    if (DIR* d = opendir(platform.c_str())) {
        std::vector<std::string> hosts;
        while (struct dirent* e = readdir(d))
            if (strncmp(e->d_name, "usbsim-hcd.", 11) == 0)
                hosts.push_back(platform + "/" + e->d_name);
        closedir(d);
        for (const std::string& h : hosts)
            removeTree(h);
    }
    if (DIR* d = opendir(busDevicesDir().c_str())) {
        std::vector<std::string> links;
        while (struct dirent* e = readdir(d)) {
            std::string link = busDevicesDir() + "/" + e->d_name;
            char target[512];
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0) {
                target[n] = 0;
                if (strstr(target, "/usbsim-hcd."))
                    links.push_back(link);
            }
        }
        closedir(d);
        for (const std::string& l : links)
            unlink(l.c_str());
    }
    removeTree(boxPath("/dev/bus/usb"));
}

} // namespace usbsim
