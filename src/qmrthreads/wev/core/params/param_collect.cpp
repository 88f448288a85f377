// Collecting changes: resetModified walks the modified marks, runs the
// immediate effects and tells its caller what the changes require.
#include "core/params/param_store.h"

#include <atomic>

#include "core/params/param_change_effects.h"

namespace {

// Set when a collected change could not be written: the next collection asks
// for a save again, so the change still reaches the file.
std::atomic<bool> savePending{false};

int collectParam(Param& p)
{
    const uint32_t f = p.flags();
    if (f & (kParamHidden | kParamVolatile))
        return kChangedAny;
    int bits = kChangedAny | kChangedSave;
    if (f & kParamNetwork)
        bits |= kChangedNetwork;
    else if (!(f & kParamRuntime))
        bits |= kChangedRestart;
    applyParamChangeEffects(p);
    return bits;
}

}  // namespace

int resetModified()
{
    int n = 0;
    Param** t = ParamStore::items(&n);
    int result = 0;
    for (int i = 0; i < n; ++i) {
        if (t[i]->takeModified())
            result |= collectParam(*t[i]);
    }
    if (savePending.exchange(false, std::memory_order_acq_rel))
        result |= kChangedSave;
    return result;
}

int saveParamsIfDirty()
{
    int bits = resetModified();
    if (!(bits & kChangedSave))
        return bits;
    if (ParamStore::save(paramFilePath().c_str()) != 0) {
        savePending.store(true, std::memory_order_release);
        bits |= kChangedSaveFailed;
    }
    return bits;
}
