// Every immediate effect of a parameter change lives in this one table, so
// the subsystems they reach are wired up in one place.
#include "core/param_change_effects.h"

#include <cstring>

#include "core/param_store.h"

namespace {

// Leaving a relay mode forgets the events counted under the old one.
void relayModeChanged(Param&)
{
    Param* eves = ParamStore::findAny("relay_eves");
    if (eves && eves->paramClass() == ParamClass::Int)
        static_cast<IntParam*>(eves)->setChecked(0);
}

struct ChangeEffect {
    const char* name;  // exact parameter name
    void (*apply)(Param& p);
};

const ChangeEffect changeEffects[] = {
    {"relay_ctrl", relayModeChanged},
};

}  // namespace

void applyParamChangeEffects(Param& p)
{
    for (const ChangeEffect& e : changeEffects) {
        if (std::strcmp(p.name(), e.name) == 0)
            e.apply(p);
    }
}
