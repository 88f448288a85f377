#include "core/params/param_change_effects.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

struct ChangeEffect {
    const char* name;  // the parameter's name, or the start of it
    bool prefix;
    ParamEffect apply;
};

// Registrations happen at start-up, collections in any task at any time: an
// entry is complete before the count that publishes it grows, and entries
// are never removed, so readers need no lock.
constexpr int kMaxEffects = 64;
ChangeEffect effects[kMaxEffects];
std::atomic<int> effectCount{0};
std::mutex registerMutex;

bool matches(const ChangeEffect& e, const char* name)
{
    return e.prefix ? strncmp(name, e.name, strlen(e.name)) == 0 : strcmp(name, e.name) == 0;
}

bool isRegistered(const char* name, bool prefix, ParamEffect effect, int count)
{
    for (int i = 0; i < count; ++i) {
        const ChangeEffect& e = effects[i];
        if (e.apply == effect && e.prefix == prefix && strcmp(e.name, name) == 0)
            return true;
    }
    return false;
}

}  // namespace

bool registerParamEffect(const char* name, bool prefix, ParamEffect effect)
{
    std::lock_guard<std::mutex> lock(registerMutex);
    const int count = effectCount.load(std::memory_order_relaxed);
    if (isRegistered(name, prefix, effect, count))
        return true;
    if (count == kMaxEffects)
        return false;
    effects[count] = ChangeEffect{name, prefix, effect};
    effectCount.store(count + 1, std::memory_order_release);
    return true;
}

void applyParamChangeEffects(Param& p)
{
    const int count = effectCount.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i) {
        if (matches(effects[i], p.name()))
            effects[i].apply(p);
    }
}
