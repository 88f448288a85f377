// The simulated host's usbfs requests other than the URB ones: interfaces
// and their claims, configurations, endpoints, reset, drivers, the port
// release and control transfers, each checked in the kernel's order.
#include "platform/usbfs/sim/usb_sim_host.h"

#include "platform/usbfs/sim/usb_sim_sysfs.h"
#include "platform/usbfs/usbfs.h"

#include <cstdio>
#include <cstring>

namespace usbsim {

namespace {

constexpr int kMaxInterfaces = 32;  // the claim bits of a descriptor on the box
constexpr uint16_t kMaxControlLength = 4096;

std::string hex2(unsigned value)
{
    char text[8];
    snprintf(text, sizeof text, "0x%02x", value & 0xff);
    return text;
}

std::string setupText(const Setup& s)
{
    char text[64];
    snprintf(text, sizeof text, "%02x %02x %04x %04x %u", s.requestType, s.request, s.value, s.index, s.length);
    return text;
}

bool driverAvailable(const SimDevice& device, int number)
{
    return device.model->kernelDriverFor(number) && (device.model->driverBuiltIn() || device.kernelHasDriver);
}

} // namespace

int Host::claim(SimFile& file, int number)
{
    SimDevice& device = *file.device;
    if (number < 0 || number >= kMaxInterfaces)
        return -EINVAL;
    if (!device.interfaceExists(number))
        return -ENOENT;
    auto claimed = device.usbfsClaim.find(number);
    if (claimed != device.usbfsClaim.end())
        return claimed->second == &file ? 0 : -EBUSY;
    if (device.kernelDriver.count(number))
        return -EBUSY;
    device.usbfsClaim[number] = &file;
    file.claimed |= 1u << number;
    return 0;
}

int Host::release(SimFile& file, int number)
{
    SimDevice& device = *file.device;
    if (number < 0 || number >= kMaxInterfaces)
        return -EINVAL;
    if (!device.interfaceExists(number))
        return -ENOENT;
    auto claimed = device.usbfsClaim.find(number);
    if (claimed == device.usbfsClaim.end() || claimed->second != &file)
        return -EINVAL;
    device.usbfsClaim.erase(claimed);
    file.claimed &= ~(1u << number);
    killInterfaceUrbs(file, number, -ENOENT);
    return 0;
}

// What the kernel does before a request that needs an interface: a claim,
// implicit when the descriptor has not made it.
int Host::checkInterface(SimFile& file, int number)
{
    return claim(file, number);
}

void Host::killInterfaceUrbs(SimFile& file, int number, int status)
{
    SimDevice& device = *file.device;
    for (const std::unique_ptr<SimUrb>& u : file.urbs) {
        if (!u->completed && u->interfaceNumber == number) {
            removePending(device, *u);
            complete(*u, status);
        }
    }
}

void Host::applyConfiguration(SimDevice& device, int value)
{
    device.activeConfig = value;
    device.altSetting.clear();
    device.kernelDriver.clear();
    device.endpoints.clear();
    if (const ConfigInfo* config = device.active()) {
        for (uint8_t number : config->interfaceNumbers())
            if (driverAvailable(device, number))
                device.kernelDriver[number] = device.model->kernelDriverFor(number);
    }
    device.model->configurationSet(value);
}

int Host::setConfiguration(SimFile& file, void* arg)
{
    SimDevice& device = *file.device;
    if (!arg)
        return -EFAULT;
    int value = *static_cast<const int*>(arg);
    int error = 0;
    if (injected(device, "setconfig", &error))
        return -error;
    if (!device.usbfsClaim.empty() || !device.kernelDriver.empty())
        return -EBUSY;  // an interface of the current configuration is in use
    if (value == -1)
        value = 0;
    if (value != 0) {
        bool known = false;
        for (const ConfigInfo& c : device.configs)
            known = known || c.value == value;
        if (!known)
            return -EINVAL;
    }
    applyConfiguration(device, value);
    sysfsUpdateConfiguration(device);
    return 0;
}

int Host::setInterface(SimFile& file, void* arg)
{
    SimDevice& device = *file.device;
    if (!arg)
        return -EFAULT;
    const usbdevfs_setinterface* request = static_cast<const usbdevfs_setinterface*>(arg);
    int number = static_cast<int>(request->interface);
    int alt = static_cast<int>(request->altsetting);
    int error = 0;
    if (injected(device, "setinterface", &error))
        return -error;
    int result = checkInterface(file, number);
    if (result < 0)
        return result;
    killInterfaceUrbs(file, number, -ENOENT);
    bool known = false;
    for (const AltSettingInfo& a : device.active()->alts)
        known = known || (a.number == number && a.alt == alt);
    if (!known)
        return -EINVAL;
    device.altSetting[number] = alt;
    if (const AltSettingInfo* current = device.currentAlt(number))
        for (const EndpointInfo& ep : current->endpoints)
            device.endpoints[ep.address].halted = false;
    device.model->interfaceSet(number, alt);
    sysfsUpdateAltSetting(device, number);
    return 0;
}

int Host::endpointRequest(SimFile& file, void* arg, bool clearHalt)
{
    SimDevice& device = *file.device;
    if (!arg)
        return -EFAULT;
    unsigned address = *static_cast<const unsigned*>(arg);
    int error = 0;
    if (injected(device, clearHalt ? "clear_halt" : "resetep", &error))
        return -error;
    if (address & ~0x8fu)
        return -EINVAL;
    int number = device.interfaceOfEndpoint(static_cast<uint8_t>(address), nullptr);
    if (number < 0)
        return -ENOENT;
    int result = checkInterface(file, number);
    if (result < 0)
        return result;
    if (clearHalt) {
        device.endpoints[static_cast<uint8_t>(address)].halted = false;
        device.model->haltCleared(static_cast<uint8_t>(address));
        pump(device);
    }
    return 0;
}

int Host::resetDevice(SimFile& file)
{
    SimDevice& device = *file.device;
    int error = 0;
    if (injected(device, "reset", &error))
        return -error;
    // Every usbfs claim is unbound by the reset, and with it the URBs; a
    // kernel driver that has one takes the interface instead.
    std::map<int, SimFile*> claims = device.usbfsClaim;
    killPending(device, nullptr, -ENOENT);
    device.usbfsClaim.clear();
    for (SimFile* f : device.files)
        f->claimed = 0;
    for (const auto& c : claims)
        if (driverAvailable(device, c.first))
            device.kernelDriver[c.first] = device.model->kernelDriverFor(c.first);
    device.altSetting.clear();
    for (auto& entry : device.endpoints)
        entry.second.halted = false;
    device.model->busReset();
    sysfsUpdateConfiguration(device);
    return 0;
}

int Host::getDriver(SimFile& file, void* arg)
{
    SimDevice& device = *file.device;
    if (!arg)
        return -EFAULT;
    usbdevfs_getdriver* request = static_cast<usbdevfs_getdriver*>(arg);
    int number = static_cast<int>(request->interface);
    int error = 0;
    if (injected(device, "getdriver", &error))
        return -error;
    if (!device.interfaceExists(number))
        return -ENODATA;
    const char* name = nullptr;
    if (device.usbfsClaim.count(number))
        name = "usbfs";
    else if (device.kernelDriver.count(number))
        name = device.kernelDriver[number].c_str();
    if (!name)
        return -ENODATA;
    snprintf(request->driver, sizeof request->driver, "%s", name);
    return 0;
}

int Host::driverIoctl(SimFile& file, void* arg)
{
    SimDevice& device = *file.device;
    if (!arg)
        return -EFAULT;
    const usbdevfs_ioctl* request = static_cast<const usbdevfs_ioctl*>(arg);
    int number = request->ifno;
    int error = 0;
    if (injected(device, "ioctl", &error))
        return -error;
    if (device.activeConfig == 0)
        return -EHOSTUNREACH;
    if (!device.interfaceExists(number))
        return -EINVAL;
    auto claimed = device.usbfsClaim.find(number);
    bool kernelBound = device.kernelDriver.count(number) != 0;
    switch (static_cast<unsigned long>(request->ioctl_code)) {
    case USBDEVFS_DISCONNECT:
        if (claimed != device.usbfsClaim.end()) {
            SimFile* owner = claimed->second;
            device.usbfsClaim.erase(claimed);
            owner->claimed &= ~(1u << number);
            killInterfaceUrbs(*owner, number, -ENOENT);
            return 0;
        }
        if (kernelBound) {
            device.kernelDriver.erase(number);
            return 0;
        }
        return -ENODATA;
    case USBDEVFS_CONNECT:
        if (claimed != device.usbfsClaim.end() || kernelBound)
            return -EBUSY;
        if (!driverAvailable(device, number))
            return 0;
        device.kernelDriver[number] = device.model->kernelDriverFor(number);
        return 1;  // a driver was bound
    default:
        return -ENOTTY;
    }
}

int Host::portRelease(SimFile& file)
{
    int error = 0;
    if (injected(*file.device, "port_release", &error))
        return -error;
    return 0;
}

int Host::checkControlRecipient(SimFile& file, const Setup& setup)
{
    SimDevice& device = *file.device;
    if ((setup.requestType & 0x60) == 0x40)
        return 0;  // vendor requests go to the device as they are
    int index = setup.index & 0xff;
    switch (setup.requestType & 0x1f) {
    case 1: {  // interface
        if (!device.interfaceExists(index))
            return -ENOENT;
        return checkInterface(file, index);
    }
    case 2: {  // endpoint
        if ((index & ~0x80) == 0)
            return 0;
        int number = device.interfaceOfEndpoint(static_cast<uint8_t>(index), nullptr);
        if (number < 0)
            number = device.interfaceOfEndpoint(static_cast<uint8_t>(index ^ 0x80), nullptr);
        if (number < 0)
            return -ENOENT;
        return checkInterface(file, number);
    }
    default:
        return 0;
    }
}

int Host::standardRequest(SimDevice& device, const Setup& s, uint8_t* data, bool* handled)
{
    *handled = true;
    auto copyOut = [&](const uint8_t* bytes, size_t size) {
        size_t n = size < s.length ? size : s.length;
        memcpy(data, bytes, n);
        return static_cast<int>(n);
    };
    switch (s.requestType << 8 | s.request) {
    case 0x8006: {  // GET_DESCRIPTOR from the device
        uint8_t type = static_cast<uint8_t>(s.value >> 8);
        uint8_t index = static_cast<uint8_t>(s.value & 0xff);
        const std::vector<uint8_t>& d = device.model->deviceDescriptor();
        const std::vector<std::vector<uint8_t>>& configs = device.model->configDescriptors();
        if (type == 1)
            return copyOut(d.data(), d.size());
        if (type == 2)
            return index < configs.size() ? copyOut(configs[index].data(), configs[index].size()) : -EPIPE;
        if (type == 3)
            return device.model->stringDescriptor(index, s.index, data, s.length);
        return -EPIPE;
    }
    case 0x8000: {  // GET_STATUS of the device: self-powered from the configuration
        const ConfigInfo* config = device.active();
        uint8_t status[2] = {static_cast<uint8_t>(config && (config->attributes & 0x40) ? 1 : 0), 0};
        return copyOut(status, 2);
    }
    case 0x8100: {
        uint8_t status[2] = {0, 0};
        return copyOut(status, 2);
    }
    case 0x8200: {  // GET_STATUS of an endpoint: halted or not
        auto it = device.endpoints.find(static_cast<uint8_t>(s.index));
        uint8_t status[2] = {static_cast<uint8_t>(it != device.endpoints.end() && it->second.halted ? 1 : 0), 0};
        return copyOut(status, 2);
    }
    case 0x8008: {
        uint8_t value = static_cast<uint8_t>(device.activeConfig);
        return copyOut(&value, 1);
    }
    case 0x810a: {
        auto it = device.altSetting.find(s.index);
        uint8_t value = static_cast<uint8_t>(it == device.altSetting.end() ? 0 : it->second);
        return copyOut(&value, 1);
    }
    case 0x0009:  // SET_CONFIGURATION and SET_INTERFACE reach the device only;
    case 0x010b:  // the host's view stays as it was, as with the kernel
    case 0x0001:
    case 0x0003:
        return 0;
    case 0x0201:  // CLEAR_FEATURE(ENDPOINT_HALT)
        if (s.value != 0)
            return -EPIPE;
        device.endpoints[static_cast<uint8_t>(s.index)].halted = false;
        device.model->haltCleared(static_cast<uint8_t>(s.index));
        return 0;
    case 0x0203:  // SET_FEATURE(ENDPOINT_HALT)
        if (s.value != 0)
            return -EPIPE;
        device.endpoints[static_cast<uint8_t>(s.index)].halted = true;
        return 0;
    default:
        *handled = false;
        return 0;
    }
}

int Host::deviceControl(SimDevice& device, const Setup& setup, uint8_t* data)
{
    bool handled = false;
    int result = standardRequest(device, setup, data, &handled);
    if (handled)
        return result;
    return device.model->control(setup, data);
}

int Host::controlTransfer(SimFile& file, void* arg)
{
    SimDevice& device = *file.device;
    if (!arg)
        return -EFAULT;
    const usbdevfs_ctrltransfer* request = static_cast<const usbdevfs_ctrltransfer*>(arg);
    Setup setup{request->bRequestType, request->bRequest, request->wValue, request->wIndex, request->wLength};
    int result = checkControlRecipient(file, setup);
    if (result == 0 && setup.length > kMaxControlLength)
        result = -EINVAL;
    if (result == 0 && setup.length > 0 && !request->data)
        result = -EFAULT;
    int error = 0;
    if (result == 0 && injected(device, "control", &error))
        result = -error;
    if (result == 0) {
        std::vector<uint8_t> buffer = deviceBuffer(setup.length);
        bool in = (setup.requestType & 0x80) != 0;
        if (!in && setup.length > 0)
            memcpy(buffer.data(), request->data, setup.length);
        result = deviceControl(device, setup, buffer.data());
        if (result == kNak)
            result = -ETIMEDOUT;  // the device never answered within the time-out
        if (result > setup.length)
            result = setup.length;
        if (in && result > 0)
            memcpy(request->data, buffer.data(), static_cast<size_t>(result));
        if (!in && result >= 0)
            result = setup.length;
    }
    noteRequest(device, "control", setupText(setup), result);
    return result;
}

int Host::requestIoctl(SimFile& file, unsigned long request, void* arg)
{
    SimDevice& device = *file.device;
    int result = 0;
    switch (request) {
    case USBDEVFS_SUBMITURB:
        return submit(file, arg);
    case USBDEVFS_DISCARDURB:
        return discard(file, arg);
    case USBDEVFS_CONTROL:
        return controlTransfer(file, arg);
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        bool claiming = request == USBDEVFS_CLAIMINTERFACE;
        const char* name = claiming ? "claim" : "release";
        int error = 0;
        unsigned number = arg ? *static_cast<const unsigned*>(arg) : 0;
        if (!arg)
            result = -EFAULT;
        else if (injected(device, name, &error))
            result = -error;
        else if (number >= static_cast<unsigned>(kMaxInterfaces))
            result = -EINVAL;
        else
            result = claiming ? claim(file, static_cast<int>(number)) : release(file, static_cast<int>(number));
        noteRequest(device, name, std::to_string(number), result);
        return result;
    }
    case USBDEVFS_SETCONFIGURATION:
        result = setConfiguration(file, arg);
        noteRequest(device, "setconfig", arg ? std::to_string(*static_cast<const int*>(arg)) : "", result);
        return result;
    case USBDEVFS_SETINTERFACE: {
        result = setInterface(file, arg);
        const usbdevfs_setinterface* s = static_cast<const usbdevfs_setinterface*>(arg);
        noteRequest(device, "setinterface",
                    s ? std::to_string(s->interface) + " alt " + std::to_string(s->altsetting) : "", result);
        return result;
    }
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP: {
        bool clearHalt = request == USBDEVFS_CLEAR_HALT;
        result = endpointRequest(file, arg, clearHalt);
        noteRequest(device, clearHalt ? "clear_halt" : "resetep",
                    arg ? hex2(*static_cast<const unsigned*>(arg)) : "", result);
        return result;
    }
    case USBDEVFS_RESET:
        result = resetDevice(file);
        noteRequest(device, "reset", "", result);
        return result;
    case USBDEVFS_GETDRIVER:
        result = getDriver(file, arg);
        noteRequest(device, "getdriver", arg ? std::to_string(static_cast<usbdevfs_getdriver*>(arg)->interface) : "",
                    result);
        return result;
    case USBDEVFS_IOCTL: {
        result = driverIoctl(file, arg);
        const usbdevfs_ioctl* io = static_cast<const usbdevfs_ioctl*>(arg);
        const char* what = !io ? "" : static_cast<unsigned long>(io->ioctl_code) == USBDEVFS_CONNECT ? " connect"
                           : static_cast<unsigned long>(io->ioctl_code) == USBDEVFS_DISCONNECT ? " disconnect"
                                                                                              : " other";
        noteRequest(device, "ioctl", io ? std::to_string(io->ifno) + what : "", result);
        return result;
    }
    case USBDEVFS_PORT_RELEASE:
        result = portRelease(file);
        noteRequest(device, "port_release", "", result);
        return result;
    default: {
        char text[32];
        snprintf(text, sizeof text, "0x%lx", request);
        noteRequest(device, "unknown", text, -ENOTTY);
        return -ENOTTY;
    }
    }
}

} // namespace usbsim
