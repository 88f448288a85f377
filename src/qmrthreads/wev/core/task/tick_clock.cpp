#include "core/task/tick_clock.h"

#include <atomic>
#include <mutex>
#include <time.h>

namespace {

std::atomic<TickCounterReader> counterReader{nullptr};
std::atomic<TickSource> testSource{nullptr};

std::mutex clockMutex;
bool haveBase = false;       // guarded by clockMutex
bool useFallback = false;    // guarded by clockMutex
uint64_t base = 0;           // first raw reading of the current source
uint64_t offset = 0;         // ticks carried over from an earlier source
uint64_t lastResult = 0;

uint64_t monotonicRaw()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 100u + static_cast<uint64_t>(ts.tv_nsec) / 10000000u;
}

} // namespace

uint64_t monotonicTicksForSignal()
{
    return monotonicRaw();
}

void setTickCounterReader(TickCounterReader reader)
{
    counterReader.store(reader);
}

void setTickSourceForTest(TickSource source)
{
    testSource.store(source);
}

uint64_t boardTicks()
{
    if (TickSource src = testSource.load())
        return src();

    std::lock_guard<std::mutex> guard(clockMutex);
    uint64_t raw = 0;
    bool fromDriver = false;
    if (!useFallback) {
        TickCounterReader reader = counterReader.load();
        if (reader && reader(&raw) == 1)
            fromDriver = true;
        else
            useFallback = true;
        if (!fromDriver && haveBase) {
            // Switching from the driver to the system clock: rebase so the
            // clock goes on from where it was instead of jumping.
            offset = lastResult;
            haveBase = false;
        }
    }
    if (!fromDriver)
        raw = monotonicRaw();
    if (!haveBase) {
        base = raw;
        haveBase = true;
    }
    uint64_t value = raw >= base ? raw - base + offset : offset;
    if (value < lastResult)
        value = lastResult;
    lastResult = value;
    return value;
}
