#include "platform/usbfs/sim/usb_sim_host.h"

#include "platform/usbfs/sim/usb_sim_sysfs.h"

#include "platform/files/root_path.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace usbsim {

namespace {

constexpr size_t kLogLines = 512;
constexpr size_t kHistory = 32;
constexpr int kRootHubPorts = 15;
// An eventfd counter at its maximum is not writable; at 0 it is.
constexpr uint64_t kNotWritable = 0xfffffffffffffffeull;

std::string errnoText(int result)
{
    if (result >= 0)
        return std::to_string(result);
    const char* name = strerrorname_np(-result);
    return name ? std::string("-") + name : std::to_string(result);
}

int fail(int err)
{
    errno = err;
    return -1;
}

// "1-1.2" -> bus 1, devpath "1.2", parent "1-1"; "1-3" -> parent "usb1".
bool splitName(const std::string& name, int* bus, std::string* devpath, std::string* parent)
{
    size_t dash = name.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 >= name.size())
        return false;
    int b = 0;
    for (size_t i = 0; i < dash; ++i) {
        if (name[i] < '0' || name[i] > '9' || b > 100)
            return false;
        b = b * 10 + (name[i] - '0');
    }
    std::string path = name.substr(dash + 1);
    int depth = 0;
    int port = 0;
    bool digit = false;
    for (char c : path + ".") {
        if (c >= '0' && c <= '9') {
            port = port * 10 + (c - '0');
            digit = true;
            if (port > 31)
                return false;
            continue;
        }
        if (c != '.' || !digit || port < 1 || ++depth > 6)
            return false;
        port = 0;
        digit = false;
    }
    if (b < 1 || b > 64)
        return false;
    *bus = b;
    *devpath = path;
    size_t dot = name.rfind('.');
    *parent = dot == std::string::npos ? "usb" + std::to_string(b) : name.substr(0, dot);
    return true;
}

int lastPort(const std::string& name)
{
    size_t cut = name.find_last_of(".-");
    return atoi(name.c_str() + cut + 1);
}

} // namespace

std::string simDir()
{
    return boxPath("/dev/usbsim");
}

std::vector<uint8_t> ConfigInfo::interfaceNumbers() const
{
    std::vector<uint8_t> numbers;
    for (const AltSettingInfo& alt : alts)
        if (std::find(numbers.begin(), numbers.end(), alt.number) == numbers.end())
            numbers.push_back(alt.number);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

ConfigInfo parseConfig(const std::vector<uint8_t>& raw)
{
    ConfigInfo config;
    bool headSeen = false;
    size_t current = SIZE_MAX;
    size_t pos = 0;
    while (pos + 2 <= raw.size()) {
        size_t length = raw[pos];
        uint8_t type = raw[pos + 1];
        if (length < 2 || pos + length > raw.size())
            break;
        const uint8_t* d = raw.data() + pos;
        if (type == 2 && !headSeen && length >= 9) {
            config.value = d[5];
            config.iConfiguration = d[6];
            config.attributes = d[7];
            config.maxPower = d[8];
            headSeen = true;
        } else if (type == 4 && length >= 9) {
            AltSettingInfo alt;
            alt.number = d[2];
            alt.alt = d[3];
            alt.cls = d[5];
            alt.subClass = d[6];
            alt.protocol = d[7];
            alt.iInterface = d[8];
            config.alts.push_back(alt);
            current = config.alts.size() - 1;
        } else if (type == 5 && length >= 7 && current != SIZE_MAX) {
            config.alts[current].endpoints.push_back({d[2], d[3], static_cast<uint16_t>(d[4] | d[5] << 8)});
        }
        pos += length;
    }
    return config;
}

const ConfigInfo* SimDevice::active() const
{
    if (activeConfig == 0)
        return nullptr;
    for (const ConfigInfo& c : configs)
        if (c.value == activeConfig)
            return &c;
    return nullptr;
}

const AltSettingInfo* SimDevice::currentAlt(int number) const
{
    const ConfigInfo* config = active();
    if (!config)
        return nullptr;
    auto it = altSetting.find(number);
    int alt = it == altSetting.end() ? 0 : it->second;
    for (const AltSettingInfo& a : config->alts)
        if (a.number == number && a.alt == alt)
            return &a;
    return nullptr;
}

int SimDevice::interfaceOfEndpoint(uint8_t address, const EndpointInfo** info) const
{
    const ConfigInfo* config = active();
    if (!config)
        return -1;
    for (uint8_t number : config->interfaceNumbers()) {
        const AltSettingInfo* alt = currentAlt(number);
        if (!alt)
            continue;
        for (const EndpointInfo& ep : alt->endpoints) {
            if (ep.address == address) {
                if (info)
                    *info = &ep;
                return number;
            }
        }
    }
    return -1;
}

bool SimDevice::interfaceExists(int number) const
{
    const ConfigInfo* config = active();
    if (!config)
        return false;
    for (const AltSettingInfo& a : config->alts)
        if (a.number == number)
            return true;
    return false;
}

int SimDevice::pendingUrbs() const
{
    int n = 0;
    for (const SimFile* f : files)
        for (const std::unique_ptr<SimUrb>& u : f->urbs)
            n += u->completed ? 0 : 1;
    return n;
}

int SimDevice::reapableUrbs() const
{
    int n = 0;
    for (const SimFile* f : files)
        n += static_cast<int>(f->completions.size());
    return n;
}

Host& Host::instance()
{
    static Host* host = new Host;  // outlives every caller, even threads still running at exit
    return *host;
}

void Host::start()
{
    std::lock_guard<std::mutex> guard(mutex_);
    startIfNeeded();
}

void Host::startIfNeeded()
{
    if (started_ || rootPrefix().empty())
        return;
    started_ = true;
    sysfsRemoveAll();  // what an earlier run left in this root
    std::error_code ec;
    std::filesystem::create_directories(simDir() + "/commands", ec);
    std::filesystem::create_directories(simDir() + "/results", ec);
    std::string error;
    ensureRootHub(1, &error);
}

SimFile* Host::fileFor(int fd)
{
    auto it = files_.find(fd);
    return it == files_.end() ? nullptr : it->second.get();
}

SimDevice* Host::deviceNamed(const std::string& name)
{
    SimDevice* latest = nullptr;
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if ((*it)->name != name)
            continue;
        if ((*it)->plugged)
            return it->get();
        if (!latest)
            latest = it->get();
    }
    return latest;
}

SimDevice* Host::pluggedDevice(int bus, int devnum)
{
    for (const std::unique_ptr<SimDevice>& d : devices_)
        if (d->plugged && d->bus == bus && d->devnum == devnum)
            return d.get();
    return nullptr;
}

int Host::allocateDevnum(int bus)
{
    auto it = nextDevnum_.find(bus);
    int next = it == nextDevnum_.end() ? 2 : it->second;
    for (int tries = 0; tries < 126; ++tries) {
        int candidate = next;
        next = next >= 127 ? 2 : next + 1;
        if (!pluggedDevice(bus, candidate)) {
            nextDevnum_[bus] = next;
            return candidate;
        }
    }
    return -1;
}

void Host::noteRequest(SimDevice& device, const std::string& request, const std::string& detail, int result)
{
    ++device.counts[request];
    if (device.log.size() >= kLogLines) {
        device.log.pop_front();
        ++device.logDropped;
    }
    std::string line = request;
    if (!detail.empty())
        line += " " + detail;
    device.log.push_back(line + " -> " + errnoText(result));
}

bool Host::injected(SimDevice& device, const std::string& request, int* error)
{
    for (auto it = device.injections.begin(); it != device.injections.end(); ++it) {
        if (it->request != request)
            continue;
        *error = it->error;
        if (it->remaining > 0 && --it->remaining == 0)
            device.injections.erase(it);
        return true;
    }
    return false;
}

bool Host::isReady(const SimFile& file)
{
    // The kernel reports a completion only on a writable descriptor, and a
    // vanished device on every one.
    return !file.device->plugged || (file.writable && !file.completions.empty());
}

void Host::updateReadiness(SimFile& file)
{
    const bool ready = isReady(file);
    if (ready == file.signalled)
        return;
    uint64_t value = kNotWritable;
    ssize_t n = ready ? ::read(file.fd, &value, sizeof value) : ::write(file.fd, &value, sizeof value);
    if (n != static_cast<ssize_t>(sizeof value) && !(n < 0 && errno == EAGAIN))
        fprintf(stderr, "usbsim: readiness of fd %d: %s\n", file.fd, strerror(errno));
    file.signalled = ready;
}

void Host::dropFile(SimFile& file, bool closeFd)
{
    SimDevice& device = *file.device;
    for (auto& entry : device.endpoints) {
        std::deque<SimUrb*>& q = entry.second.pending;
        q.erase(std::remove_if(q.begin(), q.end(), [&](SimUrb* u) { return u->file == &file; }), q.end());
    }
    for (auto it = device.usbfsClaim.begin(); it != device.usbfsClaim.end();) {
        if (it->second == &file)
            it = device.usbfsClaim.erase(it);
        else
            ++it;
    }
    device.files.erase(std::remove(device.files.begin(), device.files.end(), &file), device.files.end());
    int fd = file.fd;
    files_.erase(fd);
    if (closeFd)
        ::close(fd);
    completion_.notify_all();
}

void Host::pruneHistory()
{
    size_t unused = 0;
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it)
        if (!(*it)->plugged && (*it)->files.empty())
            ++unused;
    for (auto it = devices_.begin(); it != devices_.end() && unused > kHistory;) {
        if (!(*it)->plugged && (*it)->files.empty()) {
            it = devices_.erase(it);
            --unused;
        } else {
            ++it;
        }
    }
}

int Host::open(const char* path, int flags)
{
    std::lock_guard<std::mutex> guard(mutex_);
    startIfNeeded();
    if (!path)
        return fail(EFAULT);
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    int bus = 0;
    int devnum = 0;
    if (S_ISCHR(st.st_mode)) {
        // A node the device scan made: the kernel goes by its numbers.
        if (static_cast<int>(major(st.st_rdev)) != kUsbDeviceMajor)
            return fail(ENXIO);
        int minorNumber = static_cast<int>(minor(st.st_rdev));
        bus = minorNumber / 128 + 1;
        devnum = minorNumber % 128 + 1;
    } else {
        std::string prefix = boxPath("/dev/bus/usb/");
        if (!S_ISREG(st.st_mode) || strncmp(path, prefix.c_str(), prefix.size()) != 0 ||
            sscanf(path + prefix.size(), "%d/%d", &bus, &devnum) != 2)
            return fail(ENODEV);
    }
    SimDevice* device = pluggedDevice(bus, devnum);
    if (!device)
        return fail(ENODEV);
    int accessMode = flags & O_ACCMODE;
    const char* mode = accessMode == O_RDONLY ? "ro" : accessMode == O_WRONLY ? "wo" : "rw";
    int error = 0;
    if (injected(*device, "open", &error) && error != 0) {
        noteRequest(*device, "open", mode, -error);
        return fail(error);
    }
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return -1;
    if (SimFile* stale = fileFor(fd)) {
        // Closed behind the seam's back: the number came round again.
        noteRequest(*stale->device, "close", "stale fd " + std::to_string(fd), 0);
        dropFile(*stale, false);
    }
    std::unique_ptr<SimFile> file(new SimFile);
    file->fd = fd;
    file->device = device;
    file->readable = accessMode != O_WRONLY;
    file->writable = accessMode != O_RDONLY;
    file->signalled = true;  // a fresh eventfd is writable
    SimFile* f = file.get();
    files_[fd] = std::move(file);
    device->files.push_back(f);
    updateReadiness(*f);
    noteRequest(*device, "open", mode, fd);
    return fd;
}

int Host::close(int fd)
{
    std::lock_guard<std::mutex> guard(mutex_);
    SimFile* file = fileFor(fd);
    if (!file)
        return fail(EBADF);
    noteRequest(*file->device, "close", "", 0);
    dropFile(*file, true);
    pruneHistory();
    return 0;
}

ssize_t Host::read(int fd, void* buf, size_t size)
{
    std::lock_guard<std::mutex> guard(mutex_);
    SimFile* file = fileFor(fd);
    if (!file || !file->readable)
        return fail(EBADF);
    SimDevice& device = *file->device;
    if (!device.plugged)
        return fail(ENODEV);
    if (file->position < 0)
        return fail(EINVAL);
    if (size > 0 && !buf)
        return fail(EFAULT);
    std::vector<uint8_t> all = device.model->deviceDescriptor();
    for (const std::vector<uint8_t>& config : device.model->configDescriptors())
        all.insert(all.end(), config.begin(), config.end());
    size_t start = static_cast<size_t>(file->position);
    size_t n = start >= all.size() ? 0 : std::min(size, all.size() - start);
    if (n > 0)
        memcpy(buf, all.data() + start, n);
    file->position += static_cast<off_t>(n);
    noteRequest(device, "read", std::to_string(size) + " at " + std::to_string(start), static_cast<int>(n));
    return static_cast<ssize_t>(n);
}

off_t Host::lseek(int fd, off_t offset, int whence)
{
    std::lock_guard<std::mutex> guard(mutex_);
    SimFile* file = fileFor(fd);
    if (!file)
        return fail(EBADF);
    off_t target = whence == SEEK_SET ? offset : whence == SEEK_CUR ? file->position + offset : -1;
    if (target < 0)
        return fail(EINVAL);
    file->position = target;
    return target;
}

int Host::ioctl(int fd, unsigned long request, void* arg)
{
    std::unique_lock<std::mutex> lock(mutex_);
    SimFile* file = fileFor(fd);
    if (!file)
        return fail(EBADF);
    if (!file->writable)
        return fail(EPERM);
    int result = 0;
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
        result = reap(fd, arg, request == USBDEVFS_REAPURB, lock);
    else if (!file->device->plugged)
        result = -ENODEV;
    else
        result = requestIoctl(*file, request, arg);
    return result < 0 ? fail(-result) : result;
}

int Host::pollFd(int fd)
{
    std::lock_guard<std::mutex> guard(mutex_);
    return fileFor(fd) ? fd : -1;
}

bool Host::readyNow(int fd)
{
    std::lock_guard<std::mutex> guard(mutex_);
    const SimFile* file = fileFor(fd);
    return file && isReady(*file);
}

SimDevice* Host::addDevice(const std::string& name, const std::string& parent, int bus, const std::string& devpath,
                           const std::string& modelName, std::unique_ptr<DeviceModel> model, bool kernelHasDriver)
{
    std::unique_ptr<SimDevice> device(new SimDevice);
    device->id = nextId_++;
    device->name = name;
    device->bus = bus;
    device->devpath = devpath;
    device->parent = parent;
    device->modelName = modelName;
    device->kernelHasDriver = kernelHasDriver;
    device->model = std::move(model);
    for (const std::vector<uint8_t>& raw : device->model->configDescriptors())
        device->configs.push_back(parseConfig(raw));
    // The kernel picks the first configuration whose first interface is not
    // vendor-specific, else the first one.
    for (const ConfigInfo& c : device->configs) {
        if (!c.alts.empty() && c.alts[0].cls != 0xff) {
            device->activeConfig = c.value;
            break;
        }
    }
    if (device->activeConfig == 0 && !device->configs.empty())
        device->activeConfig = device->configs[0].value;
    devices_.push_back(std::move(device));
    return devices_.back().get();
}

SimDevice* Host::ensureRootHub(int bus, std::string* error)
{
    std::string name = "usb" + std::to_string(bus);
    SimDevice* existing = deviceNamed(name);
    if (existing && existing->plugged)
        return existing;
    ModelOptions options;
    options.set("ports", std::to_string(kRootHubPorts));
    options.set("vid", "0x1d6b");
    options.set("pid", "0x0002");
    options.set("bcd", "0x0601");
    options.set("manufacturer", "Linux usbsim-hcd");
    options.set("product", "Simulated Host Controller");
    options.set("serial", "usbsim-hcd." + std::to_string(bus));
    std::unique_ptr<DeviceModel> model = makeModel("hub", options, error);
    if (!model)
        return nullptr;
    SimDevice* hub = addDevice(name, "", bus, "0", "hub", std::move(model), false);
    hub->devnum = 1;
    if (nextDevnum_.find(bus) == nextDevnum_.end())
        nextDevnum_[bus] = 2;
    applyConfiguration(*hub, hub->activeConfig);
    if (!sysfsAddDevice(*hub, "", error)) {
        devices_.pop_back();
        return nullptr;
    }
    hub->plugged = true;
    noteRequest(*hub, "plug", "hub", 0);
    return hub;
}

// The hub a device at name hangs on, plugging the hubs on the way.
SimDevice* Host::ensurePath(const std::string& name, std::string* error)
{
    int bus = 0;
    std::string devpath;
    std::string parent;
    if (name.compare(0, 3, "usb") == 0)
        return ensureRootHub(atoi(name.c_str() + 3), error);
    if (!splitName(name, &bus, &devpath, &parent)) {
        *error = "'" + name + "' is no place on a bus (like 1-1.2)";
        return nullptr;
    }
    SimDevice* existing = deviceNamed(name);
    if (existing && existing->plugged)
        return existing;
    SimDevice* up = ensurePath(parent, error);
    if (!up)
        return nullptr;
    int port = lastPort(name);
    if (up->model->ports() < port) {
        *error = up->name + " has no port " + std::to_string(port);
        return nullptr;
    }
    ModelOptions options;
    options.set("ports", std::to_string(std::max(15, port)));
    std::unique_ptr<DeviceModel> model = makeModel("hub", options, error);
    if (!model)
        return nullptr;
    SimDevice* hub = addDevice(name, parent, bus, devpath, "hub", std::move(model), false);
    hub->devnum = allocateDevnum(bus);
    applyConfiguration(*hub, hub->activeConfig);
    if (hub->devnum < 0 || !sysfsAddDevice(*hub, up->sysfsDir, error)) {
        if (hub->devnum < 0)
            *error = "no free device number on bus " + std::to_string(bus);
        devices_.pop_back();
        return nullptr;
    }
    hub->plugged = true;
    noteRequest(*hub, "plug", "hub", 0);
    return hub;
}

std::string Host::plug(const std::string& modelName, const std::string& location, ModelOptions options,
                       bool kernelHasDriver, std::string* error)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (rootPrefix().empty()) {
        *error = "the simulated host needs a box root (WEV_ROOT)";
        return "";
    }
    startIfNeeded();
    int bus = 0;
    std::string devpath;
    std::string parentName;
    if (!splitName(location, &bus, &devpath, &parentName)) {
        *error = "'" + location + "' is no place on a bus (like 1-1.2)";
        return "";
    }
    SimDevice* existing = deviceNamed(location);
    if (existing && existing->plugged) {
        *error = "a device is plugged at " + location + " already";
        return "";
    }
    SimDevice* parent = ensurePath(parentName, error);
    if (!parent)
        return "";
    int port = lastPort(location);
    if (parent->model->ports() < port) {
        *error = parent->name + " has no port " + std::to_string(port);
        return "";
    }
    if (modelName == "storage" && !options.has("image"))
        options.set("image", simDir() + "/disk-" + std::to_string(nextId_) + ".img");
    std::unique_ptr<DeviceModel> model = makeModel(modelName, options, error);
    if (!model)
        return "";
    int devnum = allocateDevnum(bus);
    if (devnum < 0) {
        *error = "no free device number on bus " + std::to_string(bus);
        return "";
    }
    SimDevice* device = addDevice(location, parent->name, bus, devpath, modelName, std::move(model), kernelHasDriver);
    device->devnum = devnum;
    applyConfiguration(*device, device->activeConfig);
    if (!sysfsAddDevice(*device, parent->sysfsDir, error)) {
        devices_.pop_back();
        return "";
    }
    device->plugged = true;
    noteRequest(*device, "plug", modelName, 0);
    return location;
}

void Host::unplugLocked(SimDevice& device)
{
    for (const std::unique_ptr<SimDevice>& d : devices_)
        if (d->plugged && d->parent == device.name && d.get() != &device)
            unplugLocked(*d);
    device.plugged = false;
    killPending(device, nullptr, -ESHUTDOWN);
    for (SimFile* f : device.files)
        updateReadiness(*f);
    sysfsRemoveDevice(device);
    noteRequest(device, "unplug", "", 0);
    completion_.notify_all();
}

bool Host::unplug(const std::string& name, std::string* error)
{
    std::lock_guard<std::mutex> guard(mutex_);
    SimDevice* device = deviceNamed(name);
    if (!device || !device->plugged) {
        *error = "no device is plugged at " + name;
        return false;
    }
    unplugLocked(*device);
    pruneHistory();
    return true;
}

void Host::unplugAll()
{
    std::lock_guard<std::mutex> guard(mutex_);
    for (const std::unique_ptr<SimDevice>& d : devices_)
        if (d->plugged && !d->parent.empty() && d->parent.compare(0, 3, "usb") == 0)
            unplugLocked(*d);
    pruneHistory();
}

bool Host::inject(const std::string& name, const Injection& injection, std::string* error)
{
    std::lock_guard<std::mutex> guard(mutex_);
    SimDevice* device = deviceNamed(name);
    if (!device || !device->plugged) {
        *error = "no device is plugged at " + name;
        return false;
    }
    for (Injection& existing : device->injections) {
        if (existing.request == injection.request) {
            existing = injection;
            return true;
        }
    }
    device->injections.push_back(injection);
    return true;
}

bool Host::clearInjections(const std::string& name, std::string* error)
{
    std::lock_guard<std::mutex> guard(mutex_);
    SimDevice* device = deviceNamed(name);
    if (!device) {
        *error = "no device is known as " + name;
        return false;
    }
    device->injections.clear();
    return true;
}

bool Host::input(const std::string& name, const std::string& text, std::string* error)
{
    std::lock_guard<std::mutex> guard(mutex_);
    SimDevice* device = deviceNamed(name);
    if (!device || !device->plugged) {
        *error = "no device is plugged at " + name;
        return false;
    }
    if (!device->model->input(text, error))
        return false;
    pump(*device);
    return true;
}

bool Host::isPlugged(const std::string& name)
{
    std::lock_guard<std::mutex> guard(mutex_);
    SimDevice* device = deviceNamed(name);
    return device && device->plugged;
}

bool Host::counters(const std::string& name, DeviceCounters* out)
{
    std::lock_guard<std::mutex> guard(mutex_);
    SimDevice* device = deviceNamed(name);
    if (!device || !out)
        return false;
    out->plugged = device->plugged;
    out->openFiles = static_cast<int>(device->files.size());
    out->pendingUrbs = device->pendingUrbs();
    out->reapableUrbs = device->reapableUrbs();
    out->claimedInterfaces = static_cast<int>(device->usbfsClaim.size());
    return true;
}

std::vector<std::string> Host::requestLog(const std::string& name)
{
    std::lock_guard<std::mutex> guard(mutex_);
    SimDevice* device = deviceNamed(name);
    if (!device)
        return {};
    return std::vector<std::string>(device->log.begin(), device->log.end());
}

uint64_t Host::requestCount(const std::string& name, const std::string& request)
{
    std::lock_guard<std::mutex> guard(mutex_);
    SimDevice* device = deviceNamed(name);
    if (!device)
        return 0;
    auto it = device->counts.find(request);
    return it == device->counts.end() ? 0 : it->second;
}

std::vector<std::string> Host::pluggedDevices()
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> names;
    for (const std::unique_ptr<SimDevice>& d : devices_)
        if (d->plugged && d->model->ports() == 0)
            names.push_back(d->name);
    return names;
}

std::string Host::stateText()
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::string text;
    for (const std::unique_ptr<SimDevice>& d : devices_) {
        char line[320];
        snprintf(line, sizeof line,
                 "device %s model=%s id=%04x:%04x bus=%d devnum=%d plugged=%d config=%d open=%zu pending=%d "
                 "reapable=%d claimed=%zu\n",
                 d->name.c_str(), d->modelName.c_str(), d->model->vendor(), d->model->product(), d->bus, d->devnum,
                 d->plugged ? 1 : 0, d->activeConfig, d->files.size(), d->pendingUrbs(), d->reapableUrbs(),
                 d->usbfsClaim.size());
        text += line;
        std::string counts;
        for (const auto& c : d->counts)
            counts += " " + c.first + "=" + std::to_string(c.second);
        if (!counts.empty())
            text += "requests " + d->name + counts + "\n";
    }
    return text;
}

void Host::reset()
{
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& entry : files_)
        ::close(entry.first);
    files_.clear();
    devices_.clear();
    nextDevnum_.clear();
    nextId_ = 1;
    started_ = false;
    sysfsRemoveAll();
    completion_.notify_all();
}

} // namespace usbsim
