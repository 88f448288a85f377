// The simulated host's control from outside the process: command lines
// (usb_sim.h lists them), the queue of command files under the root, and
// the state file.
#pragma once

#include "platform/usbfs/usbfs.h"

#include <string>

namespace usbsim {

// The model whose ports the commands' port=N and the first free port mean.
void setUp(const UsbfsSetup& setup);

std::string runCommand(const std::string& line);

// Applies every queued command file in name order, writes each answer and
// the state file. Only one thread applies at a time; a second waits.
void applyQueuedCommands();
// The same at most every 20 ms, and never waiting for another thread that
// applies: what every usbfs call of the program does first.
void applyQueuedCommandsSoon();

} // namespace usbsim
