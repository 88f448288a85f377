// A device whose descriptors break the rules in ways a real device does, one
// or more chosen by fault=NAME[+NAME...] (default extra-config):
//   extra-config    its only configuration (bNumConfigurations 1) carries a
//                   second configuration descriptor of length 9
//   long-interface  an interface descriptor of 12 bytes instead of 9
//   short-langids   string descriptor 0 comes back with 2 bytes, no LANGID
// Otherwise it moves data like the loopback device.
#include "platform/usbfs/sim/usb_sim_loopback.h"

namespace usbsim {

namespace {

struct Faults {
    bool extraConfig = false;
    bool longInterface = false;
    bool shortLangids = false;
};

bool parseFaults(const std::string& text, Faults* faults, std::string* error)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('+', start);
        std::string name = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (name == "extra-config")
            faults->extraConfig = true;
        else if (name == "long-interface")
            faults->longInterface = true;
        else if (name == "short-langids")
            faults->shortLangids = true;
        else {
            *error = "unknown fault '" + name + "' (extra-config, long-interface, short-langids)";
            return false;
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return true;
}

class BrokenModel : public LoopbackModel {
public:
    explicit BrokenModel(const Faults& faults) : LoopbackModel("broken", {}), faults_(faults)
    {
        device_ = makeDeviceDescriptor(0x0200, 0xff, 0, 0, 64, 0x1209, 0x0005, 0x0100, 1);
        ConfigBuilder config;
        config.config(1, 0, 0x80, 50);
        if (faults.longInterface)
            config.raw({12, 4, 0, 0, 2, 0xff, 0, 0, 0, 0xaa, 0xbb, 0xcc});
        else
            config.interface(0, 0, 0xff, 0, 0, 0);
        config.endpoint(0x01, 2, 64, 0).endpoint(0x81, 2, 64, 0);
        if (faults.extraConfig)
            config.raw({9, 2, 9, 0, 1, 2, 0, 0x80, 50});
        configs_.push_back(config.finish());
        if (faults.longInterface)
            configs_[0][4] = 1;  // the raw interface is not counted by the builder
        setString(kManufacturerIndex, "WEV Simulation");
        setString(kProductIndex, "Broken Descriptors");
        setString(kSerialIndex, "BD0001");
        speed_ = Speed::Full;
    }

    int stringDescriptor(uint8_t index, uint16_t lang, uint8_t* out, int size) const override
    {
        if (index == 0 && faults_.shortLangids) {
            if (size < 2)
                return -EPIPE;
            out[0] = 2;
            out[1] = 3;
            return 2;
        }
        return LoopbackModel::stringDescriptor(index, lang, out, size);
    }

private:
    Faults faults_;
};

} // namespace

std::unique_ptr<DeviceModel> makeBrokenModel(const ModelOptions& options, std::string* error)
{
    Faults faults;
    if (!parseFaults(options.get("fault", "extra-config"), &faults, error))
        return nullptr;
    std::unique_ptr<DeviceModel> model(new BrokenModel(faults));
    if (!model->applyOptions(options, error))
        return nullptr;
    return model;
}

} // namespace usbsim
