#include "core/stats/cpu_load.h"

#include "platform/files/root_path.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// Written by the supervision loop, read and cleared by web threads.
std::mutex historyMutex;
LoadHistory history{};
uint64_t previousTotal = 0;  // 0: no sample yet
uint64_t previousBusy = 0;

constexpr int CPU_FIELDS = 7;

// Parses "cpu  user nice system idle iowait irq softirq ..."; kernels add
// further fields, which are not part of the total.
bool parseCpuLine(const char* line, uint64_t fields[CPU_FIELDS])
{
    if (strncmp(line, "cpu ", 4) != 0)
        return false;
    const char* p = line + 4;
    for (int i = 0; i < CPU_FIELDS; ++i) {
        char* end = nullptr;
        fields[i] = strtoull(p, &end, 10);
        if (end == p)
            return false;
        p = end;
    }
    return true;
}

// "Key:   value kB" with the key matched exactly, so "SwapCached:" is not
// taken for "Cached:".
bool memInfoValue(const char* line, const char* key, uint64_t* value)
{
    size_t n = strlen(key);
    if (strncmp(line, key, n) != 0)
        return false;
    char* end = nullptr;
    uint64_t v = strtoull(line + n, &end, 10);
    if (end == line + n)
        return false;
    *value = v;
    return true;
}

uint8_t usedScale(uint64_t available, uint64_t total)
{
    if (available >= total)
        return 0;
    return static_cast<uint8_t>(128 - available * 128 / total);
}

uint8_t cpuScale(uint64_t busy, uint64_t total)
{
    if (total <= previousTotal)
        return LOAD_NOT_MEASURED;
    uint64_t busyDelta = busy >= previousBusy ? busy - previousBusy : 0;
    uint64_t totalDelta = total - previousTotal;
    uint64_t v = (busyDelta << 7) / totalDelta;
    return static_cast<uint8_t>(v > 128 ? 128 : v);
}

} // namespace

int readCpuCounters(uint64_t* total, uint64_t* busy)
{
    FILE* f = fopen(boxPath("/proc/stat").c_str(), "r");
    if (!f)
        return 0;
    // The first line holds eleven counters; on a host that has run long
    // with many cores it is well over 100 characters.
    char line[512];
    bool haveLine = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    uint64_t fields[CPU_FIELDS];
    if (!haveLine || !parseCpuLine(line, fields))
        return 0;
    uint64_t sum = 0;
    for (uint64_t v : fields)
        sum += v;
    *busy = fields[0] + fields[1] + fields[2];
    *total = sum;
    return 0;
}

int readMemInfo(uint64_t* memFree, uint64_t* freeAndCached, uint64_t* total)
{
    *memFree = 0;
    *freeAndCached = 0;
    *total = 0;
    FILE* f = fopen(boxPath("/proc/meminfo").c_str(), "r");
    if (!f)
        return 0;
    uint64_t memTotal = 0, free = 0, buffers = 0, cached = 0;
    unsigned found = 0;
    char line[256];
    while (fgets(line, sizeof line, f)) {
        if (memInfoValue(line, "MemTotal:", &memTotal))
            found |= 1;
        else if (memInfoValue(line, "MemFree:", &free))
            found |= 2;
        else if (memInfoValue(line, "Buffers:", &buffers))
            found |= 4;
        else if (memInfoValue(line, "Cached:", &cached))
            found |= 8;
    }
    fclose(f);
    if (found != 15)
        return 0;
    *memFree = free;
    *freeAndCached = free + cached;
    *total = memTotal;
    return 1;
}

int updateCpuLoad()
{
    uint64_t total = 0, busy = 0;
    {
        std::lock_guard<std::mutex> guard(historyMutex);
        total = previousTotal;
        busy = previousBusy;
    }
    readCpuCounters(&total, &busy);
    uint64_t memFree = 0, freeAndCached = 0, memTotal = 0;
    // Without a usable MemTotal there is nothing to divide by: the memory
    // slots are marked as not measured.
    bool haveMemory = readMemInfo(&memFree, &freeAndCached, &memTotal) == 1 && memTotal > 0;

    std::lock_guard<std::mutex> guard(historyMutex);
    if (previousTotal == 0) {
        history.index = 0;
        memset(history.cpu, 0, sizeof history.cpu);
    } else {
        int i = history.index;
        history.cpu[i] = cpuScale(busy, total);
        history.memory[i] = haveMemory ? usedScale(memFree, memTotal) : LOAD_NOT_MEASURED;
        history.memoryAndCache[i] = haveMemory ? usedScale(freeAndCached, memTotal) : LOAD_NOT_MEASURED;
        history.index = (i + 1) % LOAD_RING_SIZE;
    }
    previousTotal = total;
    previousBusy = busy;
    return 1;
}

void copyLoadHistory(LoadHistory* out)
{
    std::lock_guard<std::mutex> guard(historyMutex);
    *out = history;
}

void clearLoadHistory()
{
    std::lock_guard<std::mutex> guard(historyMutex);
    history = LoadHistory{};
}

void resetLoadHistoryForTest()
{
    std::lock_guard<std::mutex> guard(historyMutex);
    history = LoadHistory{};
    previousTotal = 0;
    previousBusy = 0;
}
