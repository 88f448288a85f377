// The simulated USB host: devices on buses and hubs, and the usbfs
// descriptors opened on them, kept by the kernel's rules so that a leak or a
// race of the program shows up here as it would on the box:
//   - read() gives the device descriptor and every configuration's
//     descriptors; every request on a read-only descriptor fails with EPERM;
//   - an interface belongs to one descriptor (or a kernel driver): CLAIM by
//     another answers EBUSY, and SUBMITURB, SETINTERFACE, CLEAR_HALT, RESETEP
//     and interface requests claim it implicitly;
//   - SUBMITURB copies OUT data at once; IN data, status and actual length
//     reach the caller's URB and buffer only at REAP; REAPURBNDELAY answers
//     EAGAIN while none has completed;
//   - DISCARDURB completes a pending URB with -ENOENT (it must still be
//     reaped), and answers EINVAL for one that is not pending;
//   - close() drops the descriptor's URBs and gives its interfaces back;
//   - a descriptor is writable for epoll (EPOLLOUT) while a completion waits;
//   - after an unplug the pending URBs complete with -ESHUTDOWN, the reaps
//     hand them out, and then every request answers ENODEV.
// Each device keeps a log of the requests made on it, their counts, and the
// numbers of open descriptors and URBs in flight.
//
// Not thread-affine: one mutex serialises everything, as the kernel's device
// lock does; completions never wait for a thread of their own. A device model
// moves data when a request reaches it: at a submit, when another transfer
// makes room or data, or when input arrives from outside.
#pragma once

#include "platform/usbfs/sim/usb_sim.h"
#include "platform/usbfs/sim/usb_sim_model.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct usbdevfs_urb;

namespace usbsim {

// The parsed view of one configuration, as the kernel keeps it.
struct EndpointInfo {
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t maxPacket = 0;
};

struct AltSettingInfo {
    uint8_t number = 0;
    uint8_t alt = 0;
    uint8_t cls = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    uint8_t iInterface = 0;
    std::vector<EndpointInfo> endpoints;
};

struct ConfigInfo {
    uint8_t value = 0;
    uint8_t iConfiguration = 0;
    uint8_t attributes = 0;
    uint8_t maxPower = 0;
    std::vector<AltSettingInfo> alts;
    std::vector<uint8_t> interfaceNumbers() const;  // ascending, each once
};

ConfigInfo parseConfig(const std::vector<uint8_t>& raw);

struct SimDevice;
struct SimFile;

struct SimUrb {
    SimFile* file = nullptr;
    usbdevfs_urb* user = nullptr;  // the caller's record: written only at reap
    uint8_t type = 0;
    uint8_t endpoint = 0;
    unsigned flags = 0;
    void* userBuffer = nullptr;
    int bufferLength = 0;
    int interfaceNumber = -1;    // -1: endpoint 0
    bool in = false;
    bool completed = false;
    std::vector<uint8_t> data;   // OUT: copied at submit; IN: filled at completion
    int status = 0;
    int actualLength = 0;
};

struct SimFile {
    int fd = -1;                 // an eventfd: what the caller holds and epoll watches
    SimDevice* device = nullptr;
    bool readable = true;
    bool writable = false;
    off_t position = 0;
    uint32_t claimed = 0;        // interface numbers claimed, as bits
    std::list<std::unique_ptr<SimUrb>> urbs;
    std::deque<SimUrb*> completions;  // in completion order
    bool signalled = false;
};

struct EndpointQueue {
    bool halted = false;
    std::deque<SimUrb*> pending;
};

struct Injection {
    std::string request;         // "reset", "control", "urb:0x81", ...
    int error = 0;               // errno; 0 = succeed
    int remaining = -1;          // -1: until cleared
};

struct SimDevice {
    uint64_t id = 0;
    std::string name;            // "1-1.2", or "usb1" for a root hub
    int bus = 0;
    int devnum = 0;
    std::string devpath;         // "1.2"; "0" for a root hub
    std::string parent;          // name of the hub it hangs on; empty for a root hub
    std::string modelName;
    std::string sysfsDir;        // the device's directory under the root's /sys/devices
    bool plugged = false;
    bool kernelHasDriver = false;
    std::unique_ptr<DeviceModel> model;
    std::vector<ConfigInfo> configs;
    int activeConfig = 0;        // bConfigurationValue; 0 unconfigured
    std::map<int, int> altSetting;              // interface number -> alternate setting
    std::map<int, std::string> kernelDriver;    // interface number -> bound kernel driver
    std::map<int, SimFile*> usbfsClaim;         // interface number -> claiming descriptor
    std::map<uint8_t, EndpointQueue> endpoints;
    std::vector<SimFile*> files;
    std::vector<Injection> injections;
    std::deque<std::string> log;
    uint64_t logDropped = 0;
    std::map<std::string, uint64_t> counts;

    const ConfigInfo* active() const;
    // The current alternate setting of an interface of the active configuration.
    const AltSettingInfo* currentAlt(int number) const;
    // The interface whose current alternate setting has this endpoint; -1 none.
    int interfaceOfEndpoint(uint8_t address, const EndpointInfo** info) const;
    bool interfaceExists(int number) const;
    int pendingUrbs() const;
    int reapableUrbs() const;
};

class Host {
public:
    static Host& instance();

    // Takes over the root: removes what an earlier run left there and
    // plugs the first root hub. Every operation does it first.
    void start();

    // usbfs operations.
    int open(const char* path, int flags);
    int close(int fd);
    ssize_t read(int fd, void* buf, size_t size);
    off_t lseek(int fd, off_t offset, int whence);
    int ioctl(int fd, unsigned long request, void* arg);
    int pollFd(int fd);
    // What the descriptor pollFd gives signals now.
    bool readyNow(int fd);

    // Plugging. location is a device name ("1-1.2"); the hubs on its way are
    // plugged as needed. The name, or empty with a reason.
    std::string plug(const std::string& modelName, const std::string& location, ModelOptions options,
                     bool kernelHasDriver, std::string* error);
    bool unplug(const std::string& name, std::string* error);
    void unplugAll();
    bool inject(const std::string& name, const Injection& injection, std::string* error);
    bool clearInjections(const std::string& name, std::string* error);
    bool input(const std::string& name, const std::string& text, std::string* error);
    bool isPlugged(const std::string& name);

    bool counters(const std::string& name, DeviceCounters* out);
    std::vector<std::string> requestLog(const std::string& name);
    uint64_t requestCount(const std::string& name, const std::string& request);
    std::string stateText();
    // Names of the plugged devices other than hubs, in plug order.
    std::vector<std::string> pluggedDevices();

    // Forgets every device and descriptor and removes the simulated tree
    // from the current root; the next use starts afresh there.
    void reset();

private:
    Host() = default;

    // Everything below runs with mutex_ held.
    void startIfNeeded();
    SimFile* fileFor(int fd);
    SimDevice* deviceNamed(const std::string& name);
    SimDevice* pluggedDevice(int bus, int devnum);
    int allocateDevnum(int bus);
    SimDevice* ensureRootHub(int bus, std::string* error);
    SimDevice* ensurePath(const std::string& name, std::string* error);
    SimDevice* addDevice(const std::string& name, const std::string& parent, int bus, const std::string& devpath,
                         const std::string& modelName, std::unique_ptr<DeviceModel> model, bool kernelHasDriver);
    void unplugLocked(SimDevice& device);
    // Whether the file's descriptor is to signal: a completion waits, or
    // its device is gone.
    static bool isReady(const SimFile& file);
    void dropFile(SimFile& file, bool closeFd);
    void pruneHistory();
    void noteRequest(SimDevice& device, const std::string& request, const std::string& detail, int result);
    bool injected(SimDevice& device, const std::string& request, int* error);
    void updateReadiness(SimFile& file);

    // Interfaces and claims (usb_sim_requests.cpp).
    int claim(SimFile& file, int number);
    int release(SimFile& file, int number);
    int checkInterface(SimFile& file, int number);
    void killInterfaceUrbs(SimFile& file, int number, int status);
    int requestIoctl(SimFile& file, unsigned long request, void* arg);
    int setConfiguration(SimFile& file, void* arg);
    int setInterface(SimFile& file, void* arg);
    int endpointRequest(SimFile& file, void* arg, bool clearHalt);
    int resetDevice(SimFile& file);
    int getDriver(SimFile& file, void* arg);
    int driverIoctl(SimFile& file, void* arg);
    int portRelease(SimFile& file);
    int controlTransfer(SimFile& file, void* arg);
    int checkControlRecipient(SimFile& file, const Setup& setup);
    // One control request on the device: IN bytes or OUT bytes, or -errno.
    int deviceControl(SimDevice& device, const Setup& setup, uint8_t* data);
    int standardRequest(SimDevice& device, const Setup& setup, uint8_t* data, bool* handled);
    void applyConfiguration(SimDevice& device, int value);

    // URBs (usb_sim_urb.cpp).
    int submit(SimFile& file, void* arg);
    int reap(int fd, void* arg, bool wait, std::unique_lock<std::mutex>& lock);
    int discard(SimFile& file, void* arg);
    void pump(SimDevice& device);
    bool service(SimDevice& device, SimUrb& urb);
    void complete(SimUrb& urb, int status);
    void removePending(SimDevice& device, SimUrb& urb);
    void killPending(SimDevice& device, SimFile* onlyFile, int status);
    size_t bufferedBytes() const;

    std::mutex mutex_;
    std::condition_variable completion_;
    bool started_ = false;
    uint64_t nextId_ = 1;
    std::list<std::unique_ptr<SimDevice>> devices_;
    std::map<int, std::unique_ptr<SimFile>> files_;
    std::map<int, int> nextDevnum_;
};

// Where the simulated host keeps its files under the root.
std::string simDir();  // boxPath("/dev/usbsim")

} // namespace usbsim
