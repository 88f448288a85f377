// What a collected parameter change does at once, beyond asking its caller
// to save, reconfigure the network or restart.
#pragma once

#include "core/params/param.h"

// Runs the immediate effect of a change of p, if it has one.
void applyParamChangeEffects(Param& p);
