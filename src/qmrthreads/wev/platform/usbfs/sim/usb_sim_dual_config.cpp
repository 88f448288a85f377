// A device with two configurations and alternate settings, moving data like
// the loopback device. Configuration 1 ("Two interfaces"): interface 0 with
// bulk OUT 0x01 and bulk IN 0x81, its alternate setting 1 adding interrupt
// IN 0x82; interface 1 without endpoints, its alternate setting 1 with
// interrupt IN 0x83. Configuration 2 ("One interface"): interface 0 with
// bulk OUT 0x03 and bulk IN 0x84.
#include "platform/usbfs/sim/usb_sim_loopback.h"

namespace usbsim {

namespace {

class DualConfigModel : public LoopbackModel {
public:
    DualConfigModel() : LoopbackModel("dual-config", {0x82, 0x83})
    {
        device_ = makeDeviceDescriptor(0x0200, 0, 0, 0, 64, 0x1209, 0x0004, 0x0100, 2);
        configs_.push_back(ConfigBuilder()
                               .config(1, 4, 0x80, 50)
                               .interface(0, 0, 0xff, 0, 0, 0)
                               .endpoint(0x01, 2, 64, 0)
                               .endpoint(0x81, 2, 64, 0)
                               .interface(0, 1, 0xff, 0, 0, 0)
                               .endpoint(0x01, 2, 64, 0)
                               .endpoint(0x81, 2, 64, 0)
                               .endpoint(0x82, 3, 8, 10)
                               .interface(1, 0, 0xff, 1, 0, 0)
                               .interface(1, 1, 0xff, 1, 0, 0)
                               .endpoint(0x83, 3, 8, 10)
                               .finish());
        configs_.push_back(ConfigBuilder()
                               .config(2, 5, 0x80, 100)
                               .interface(0, 0, 0xff, 0, 0, 0)
                               .endpoint(0x03, 2, 64, 0)
                               .endpoint(0x84, 2, 64, 0)
                               .finish());
        setString(kManufacturerIndex, "WEV Simulation");
        setString(kProductIndex, "Dual Configuration Device");
        setString(kSerialIndex, "DC0001");
        setString(4, "Two interfaces");
        setString(5, "One interface");
        speed_ = Speed::Full;
    }
};

} // namespace

std::unique_ptr<DeviceModel> makeDualConfigModel(const ModelOptions& options, std::string* error)
{
    std::unique_ptr<DeviceModel> model(new DualConfigModel());
    if (!model->applyOptions(options, error))
        return nullptr;
    return model;
}

} // namespace usbsim
