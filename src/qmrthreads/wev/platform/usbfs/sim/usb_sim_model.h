// Simulated USB devices: what one device answers on its endpoints, behind
// one interface that the simulated host (usb_sim_host.h) drives. The host
// keeps the kernel's rules (claims, configurations, URB bookkeeping) and
// answers the standard device requests from the model's descriptors; a
// model only says what its own endpoints and class or vendor requests do.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace usbsim {

// A device's answer "not now" on an endpoint (a NAK): the URB stays pending
// until something changes on the device.
constexpr int kNak = -EAGAIN;

enum class Speed { Low, Full, High, Super };

// The speed as sysfs prints it ("1.5", "12", "480", "5000").
const char* speedText(Speed speed);
bool parseSpeed(const std::string& text, Speed* speed);

struct Setup {
    uint8_t requestType;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

// A buffer for length bytes of a data stage or transfer, with room for at
// least one byte so that a zero-length one still has an address: the models
// copy with memcpy, which takes no null pointer even for no bytes.
inline std::vector<uint8_t> deviceBuffer(size_t length)
{
    return std::vector<uint8_t>(length > 0 ? length : 1);
}

// key=value options of a plug command.
class ModelOptions {
public:
    void set(const std::string& key, const std::string& value) { values_[key] = value; }
    bool has(const std::string& key) const { return values_.count(key) != 0; }
    std::string get(const std::string& key, const std::string& fallback = "") const;
    // A number in C notation (decimal or 0x-prefixed); false when absent or not a number.
    bool number(const std::string& key, unsigned long* value) const;

private:
    std::map<std::string, std::string> values_;
};

// Builds one configuration's descriptors in the order a device sends them.
// finish() fills wTotalLength, bNumInterfaces and each interface's
// bNumEndpoints.
class ConfigBuilder {
public:
    ConfigBuilder& config(uint8_t value, uint8_t iConfiguration, uint8_t attributes, uint8_t maxPower);
    ConfigBuilder& interface(uint8_t number, uint8_t alt, uint8_t cls, uint8_t subClass, uint8_t protocol,
                             uint8_t iInterface);
    ConfigBuilder& endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval);
    ConfigBuilder& raw(const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> finish();

private:
    std::vector<uint8_t> bytes_;
    std::vector<size_t> interfaceOffsets_;
};

std::vector<uint8_t> makeDeviceDescriptor(uint16_t bcdUsb, uint8_t cls, uint8_t subClass, uint8_t protocol,
                                          uint8_t maxPacket0, uint16_t vendor, uint16_t product,
                                          uint16_t bcdDevice, uint8_t numConfigurations);

// String indexes every model uses for its names.
constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;

class DeviceModel {
public:
    virtual ~DeviceModel() = default;
    DeviceModel(const DeviceModel&) = delete;
    DeviceModel& operator=(const DeviceModel&) = delete;

    const std::string& kind() const { return kind_; }
    const std::vector<uint8_t>& deviceDescriptor() const { return device_; }
    const std::vector<std::vector<uint8_t>>& configDescriptors() const { return configs_; }
    Speed speed() const { return speed_; }
    uint16_t vendor() const;
    uint16_t product() const;
    // Ports of a hub (sysfs "maxchild"); 0 for other devices.
    virtual int ports() const { return 0; }

    // String descriptor index in language lang into out (at most size
    // bytes); the bytes written, or -EPIPE (a stall) when there is none.
    virtual int stringDescriptor(uint8_t index, uint16_t lang, uint8_t* out, int size) const;
    // The text of a string as the kernel shows it in sysfs; empty when none.
    std::string stringText(uint8_t index) const;

    // The data pointers handed to a model are never null, even for a
    // zero-length stage or transfer (see deviceBuffer).
    //
    // Class and vendor requests and interface or endpoint descriptors: IN
    // bytes written into data (at most setup.length), OUT bytes taken, or a
    // negative errno (-EPIPE: the device stalls). The default stalls.
    virtual int control(const Setup& setup, uint8_t* data);
    // One transaction sequence on a bulk or interrupt endpoint: the bytes
    // taken (OUT) or written (IN, at most length; fewer ends the transfer
    // with a short packet), kNak to keep the URB pending, or a negative errno
    // the URB completes with (-EPIPE halts the endpoint). Default: NAK.
    virtual int transferOut(uint8_t endpoint, const uint8_t* data, int length);
    virtual int transferIn(uint8_t endpoint, uint8_t* data, int length);

    // Device state changes the host makes.
    virtual void busReset() {}
    virtual void configurationSet(int /*value*/) {}
    virtual void interfaceSet(int /*number*/, int /*alt*/) {}
    virtual void haltCleared(uint8_t /*endpoint*/) {}

    // The kernel driver that binds interface number when the kernel has one
    // (nullptr: none), and whether every kernel has it built in (the hub
    // driver) rather than only one that the plug command says has it.
    virtual const char* kernelDriverFor(int /*interfaceNumber*/) const { return nullptr; }
    virtual bool driverBuiltIn() const { return false; }

    // Input from outside the process (text typed on a keyboard); false with
    // a reason when the model takes none.
    virtual bool input(const std::string& text, std::string* error);

    // vid=, pid=, bcd=, manufacturer=, product=, serial= (empty: the device
    // has no such string), speed=, class= (of every interface, a video
    // camera's 14 for example). False with a reason on a bad value.
    bool applyOptions(const ModelOptions& options, std::string* error);

protected:
    explicit DeviceModel(const char* kind) : kind_(kind) {}
    void setString(uint8_t index, const std::string& text) { strings_[index] = text; }

    std::vector<uint8_t> device_;
    std::vector<std::vector<uint8_t>> configs_;
    std::map<uint8_t, std::string> strings_;
    Speed speed_ = Speed::High;

private:
    bool applyName(const ModelOptions& options, const char* key, uint8_t index, size_t descriptorOffset);
    void setInterfaceClass(uint8_t cls);

    std::string kind_;
};

// The models. Each returns nullptr with a reason when its options do not fit.
std::unique_ptr<DeviceModel> makeLoopbackModel(const ModelOptions& options, std::string* error);
std::unique_ptr<DeviceModel> makeKeyboardModel(const ModelOptions& options, std::string* error);
std::unique_ptr<DeviceModel> makeStorageModel(const ModelOptions& options, std::string* error);
std::unique_ptr<DeviceModel> makeHubModel(const ModelOptions& options, std::string* error);
std::unique_ptr<DeviceModel> makeDualConfigModel(const ModelOptions& options, std::string* error);
std::unique_ptr<DeviceModel> makeBrokenModel(const ModelOptions& options, std::string* error);

// By name: "loopback", "keyboard", "storage", "hub", "dual-config",
// "broken", or "VVVV:PPPP" (a loopback device with those ids, for the ids
// the USB server treats specially). Options are applied.
std::unique_ptr<DeviceModel> makeModel(const std::string& name, const ModelOptions& options, std::string* error);

// The vendor:product pairs that the USB server treats specially, each
// plugged as "VVVV:PPPP".
struct SpecialId {
    uint16_t vendor;
    uint16_t product;
    const char* treatment;
};
extern const SpecialId kSpecialIds[];
extern const size_t kSpecialIdCount;

// A string descriptor {bLength, 3, UTF-16LE text} of UTF-8 text, at most 255 bytes.
std::vector<uint8_t> stringDescriptorBytes(const std::string& text);

} // namespace usbsim
