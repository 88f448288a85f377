// What a collected parameter change does at once, beyond asking its caller
// to save, reconfigure the network or restart. Each subsystem registers its
// own reactions at start-up; the store only runs them.
#pragma once

#include "core/params/param.h"

using ParamEffect = void (*)(Param& p);

// After this, every collected change of the parameter `name` (with prefix:
// of every parameter whose name starts with `name`) runs effect. Registering
// the same pair again changes nothing. false when the registry is full.
bool registerParamEffect(const char* name, bool prefix, ParamEffect effect);

// Runs every registered effect of a change of p, in the order registered.
void applyParamChangeEffects(Param& p);
