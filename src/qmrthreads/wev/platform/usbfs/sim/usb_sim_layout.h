// Where each model of the box wires its physical USB ports: the place on
// the buses (the sysfs device name, "1-1.2") of the device on a port, so
// that a simulated device plugged "into port N" sits where the box's own
// device would.
#pragma once

#include <cstdint>
#include <string>

namespace usbsim {

// The place of physical port `port` on a box of product productId; false
// with a reason when the model has no such port. Products without a known
// layout get "1-1.N" (behind one hub on bus 1).
bool locationForPort(uint32_t productId, int port, std::string* location, std::string* error);

} // namespace usbsim
