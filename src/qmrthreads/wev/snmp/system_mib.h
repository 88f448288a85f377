// The fixed MIB groups: the device's identity under 1.3.6.1.4.1.32473 with the
// restart and factory-reset object 2.8.1, and the printer MIB's
// prtGeneralReset (1.3.6.1.2.1.43.5.1.1.3.1, always 3) that printer
// management software asks for.
#pragma once

#include <cstddef>
#include <cstdint>

// Registers "VEK-System" and "VEK-PrtCompat" with the agent library.
void init_vek_mib();

// "VEK <product>; version <v>.<r>.<s>", cut to 63 characters.
const char* deviceDescription();

// What a SET of the reset object does with its value in COMMIT: 9 removes
// the parameter file and restarts, 10 restarts, anything else nothing.
void actOnResetRequest(long value);
