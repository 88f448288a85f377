// CPU and memory load history of the box, sampled by the supervision loop
// and drawn by the device information page. Three rings of 768 one-byte
// samples on a scale of 0 to 128:
//  - CPU: busy time x 128 / total time of the interval, 255 when no time
//    passed (not drawn);
//  - memory: used memory, 128 - MemFree x 128 / MemTotal;
//  - memory and cache: 128 - (MemFree + Cached) x 128 / MemTotal;
//    both 255 (not drawn) when "/proc/meminfo" could not be read.
#pragma once

#include <cstdint>

constexpr int LOAD_RING_SIZE = 768;
constexpr uint8_t LOAD_NOT_MEASURED = 255;

struct LoadHistory {
    uint8_t cpu[LOAD_RING_SIZE];
    uint8_t memory[LOAD_RING_SIZE];
    uint8_t memoryAndCache[LOAD_RING_SIZE];
    int index;  // next slot to write, so the oldest sample
};

// The counters of the first line of "/proc/stat": busy = user + nice +
// system, total = the sum of the first seven. The outputs keep their values
// when the file or the line is missing. Always 0.
int readCpuCounters(uint64_t* total, uint64_t* busy);

// MemFree, MemFree + Cached and MemTotal of "/proc/meminfo" in KB (zeroed
// first); 1 when MemTotal, MemFree, Buffers and Cached were all found.
int readMemInfo(uint64_t* memFree, uint64_t* freeAndCached, uint64_t* total);

// One sample: the first call only remembers the counters (and clears the
// CPU ring); each later call writes one slot of every ring. Returns 1.
int updateCpuLoad();

// A consistent copy of the rings and the index.
void copyLoadHistory(LoadHistory* out);

// Empties the rings (the sampling period changed); index back to 0.
void clearLoadHistory();

// Tests only: forget the previous sample and empty the rings.
void resetLoadHistoryForTest();
