#include "platform/usbfs/sim/usb_sim_layout.h"

namespace usbsim {

namespace {

std::string behindHub(int bus, int hub, int port)
{
    return std::to_string(bus) + "-" + std::to_string(hub) + "." + std::to_string(port);
}

} // namespace

bool locationForPort(uint32_t productId, int port, std::string* location, std::string* error)
{
    auto none = [&]() {
        *error = "product " + std::to_string(productId) + " has no USB port " + std::to_string(port);
        return false;
    };
    if (port < 1 || port > 20)
        return none();
    switch (productId) {
    case 346:
    case 357:
        if (port > 2)
            return none();
        *location = behindHub(1, 1, port);
        return true;
    case 347:
        if (port > 3)
            return none();
        *location = port == 3 ? "1-1" : port == 2 ? "2-1" : "2-2";
        return true;
    case 353:
        *location = behindHub(1, (port - 1) / 5 + 1, (port - 1) % 5 + 1);
        return true;
    case 356:
        *location = port <= 6 ? behindHub(1, 1, port) : "1-1.7." + std::to_string(port - 6);
        return true;
    case 365:
        if (port > 2)
            return none();
        *location = port == 1 ? "2-1" : "3-1";
        return true;
    case 366:
    case 367:
        if (port > 3)
            return none();
        *location = behindHub(1, 1, port);
        return true;
    default:
        *location = behindHub(1, 1, port);
        return true;
    }
}

} // namespace usbsim
