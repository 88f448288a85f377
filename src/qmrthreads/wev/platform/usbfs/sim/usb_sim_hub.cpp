// A USB hub (class 9, one interrupt IN endpoint for port changes). Its
// interface is always bound to the kernel's built-in hub driver, so usbfs
// cannot claim it. The host also uses it for the root hubs ("usbN") and for
// the hubs a plug location needs on its way from the root.
//
// Options: ports=N (1 to 31, default 4).
#include "platform/usbfs/sim/usb_sim_model.h"

#include <cstring>

namespace usbsim {

namespace {

class HubModel : public DeviceModel {
public:
    explicit HubModel(int ports) : DeviceModel("hub"), ports_(ports)
    {
        uint16_t statusBytes = static_cast<uint16_t>((ports + 8) / 8);
        device_ = makeDeviceDescriptor(0x0200, 9, 0, 1, 64, 0x1209, 0x0006, 0x0100, 1);
        configs_.push_back(ConfigBuilder()
                               .config(1, 0, 0xe0, 0)
                               .interface(0, 0, 9, 0, 0, 0)
                               .endpoint(0x81, 3, statusBytes, 12)
                               .finish());
        setString(kManufacturerIndex, "WEV Simulation");
        setString(kProductIndex, "Hub");
        speed_ = Speed::High;
    }

    int ports() const override { return ports_; }

    int control(const Setup& s, uint8_t* data) override
    {
        if (s.requestType == 0xa0 && s.request == 6 && (s.value >> 8) == 0x29)
            return copyOut(hubDescriptor(), s.length, data);
        if (s.requestType == 0xa0 && s.request == 0)  // hub status: local power, no change
            return copyOut({0, 0, 0, 0}, s.length, data);
        if (s.requestType == 0xa3 && s.request == 0) {  // port status: powered
            if (s.index < 1 || s.index > ports_)
                return -EPIPE;
            return copyOut({0x00, 0x01, 0, 0}, s.length, data);
        }
        if ((s.requestType == 0x23 || s.requestType == 0x20) && (s.request == 1 || s.request == 3))
            return 0;  // SET_FEATURE / CLEAR_FEATURE
        return -EPIPE;
    }

    const char* kernelDriverFor(int interfaceNumber) const override
    {
        return interfaceNumber == 0 ? "hub" : nullptr;
    }
    bool driverBuiltIn() const override { return true; }

private:
    std::vector<uint8_t> hubDescriptor() const
    {
        size_t bitmapBytes = static_cast<size_t>((ports_ + 8) / 8);
        std::vector<uint8_t> d = {0, 0x29, static_cast<uint8_t>(ports_), 0xe9, 0x00, 50, 100};
        d.insert(d.end(), bitmapBytes, 0x00);  // DeviceRemovable: every port
        d.insert(d.end(), bitmapBytes, 0xff);  // PortPwrCtrlMask
        d[0] = static_cast<uint8_t>(d.size());
        return d;
    }

    static int copyOut(const std::vector<uint8_t>& bytes, uint16_t length, uint8_t* data)
    {
        size_t n = bytes.size() < length ? bytes.size() : length;
        memcpy(data, bytes.data(), n);
        return static_cast<int>(n);
    }

    int ports_;
};

} // namespace

std::unique_ptr<DeviceModel> makeHubModel(const ModelOptions& options, std::string* error)
{
    unsigned long ports = 4;
    if (options.has("ports") && (!options.number("ports", &ports) || ports < 1 || ports > 31)) {
        *error = "ports must be 1 to 31, not '" + options.get("ports") + "'";
        return nullptr;
    }
    std::unique_ptr<DeviceModel> model(new HubModel(static_cast<int>(ports)));
    if (!model->applyOptions(options, error))
        return nullptr;
    return model;
}

} // namespace usbsim
