// The models by name, and the ids the USB server treats specially.
#include "platform/usbfs/sim/usb_sim_model.h"

#include <cstdio>

namespace usbsim {

const SpecialId kSpecialIds[] = {
    {0x0424, 0x2740, "never taken by the device scan"},
    {0x0d46, 0x0001, "configuration 0 goes through the port release"},
    {0x1139, 0x0001, "port release failing with ENODEV still resets or powers off"},
    {0x1234, 0x8086, "port release failing with ENODEV still resets or powers off"},
    {0x126f, 0x1165, "configuration 1 is answered from the cache"},
    {0x088e, 0x5036, "configuration 0 before every configuration; string 0xEE not read"},
    {0x0819, 0x0101, "configuration 0 before every configuration; clear halt not sent"},
    {0x0a50, 0x0101, "clear halt not sent"},
    {0x0529, 0x0001, "a control request timing out resets the device"},
};
const size_t kSpecialIdCount = sizeof kSpecialIds / sizeof kSpecialIds[0];

namespace {

bool parseIdPair(const std::string& name, uint16_t* vendor, uint16_t* product)
{
    unsigned v = 0;
    unsigned p = 0;
    int used = 0;
    if (name.size() != 9 || sscanf(name.c_str(), "%4x:%4x%n", &v, &p, &used) != 2 || used != 9)
        return false;
    *vendor = static_cast<uint16_t>(v);
    *product = static_cast<uint16_t>(p);
    return true;
}

std::string hex4(uint16_t value)
{
    char text[8];
    snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

} // namespace

std::unique_ptr<DeviceModel> makeModel(const std::string& name, const ModelOptions& options, std::string* error)
{
    using Maker = std::unique_ptr<DeviceModel> (*)(const ModelOptions&, std::string*);
    struct Entry { const char* name; Maker make; };
    static const Entry kModels[] = {
        {"loopback", makeLoopbackModel}, {"keyboard", makeKeyboardModel}, {"storage", makeStorageModel},
        {"hub", makeHubModel},           {"dual-config", makeDualConfigModel}, {"broken", makeBrokenModel},
    };
    for (const Entry& e : kModels)
        if (name == e.name)
            return e.make(options, error);
    uint16_t vendor = 0;
    uint16_t product = 0;
    if (parseIdPair(name, &vendor, &product)) {
        ModelOptions withIds = options;
        if (!withIds.has("vid"))
            withIds.set("vid", hex4(vendor));
        if (!withIds.has("pid"))
            withIds.set("pid", hex4(product));
        return makeLoopbackModel(withIds, error);
    }
    *error = "unknown model '" + name + "' (loopback, keyboard, storage, hub, dual-config, broken, or VVVV:PPPP)";
    return nullptr;
}

} // namespace usbsim
