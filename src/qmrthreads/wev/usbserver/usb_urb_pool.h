// The memory of the URB engine, kept for the next transfer. A transfer
// needs its set record, its URB records and one data buffer per URB; taking
// them from the heap and giving them back for every request made each small
// transfer pay for heap trimming and page faults, and made the speed of a
// session depend on what the process had moved before. Every session runs on
// its own thread, so the pool of the thread is the pool of the session: no
// lock, and a session that never moved data holds nothing.
#pragma once

#include <cstddef>
#include <cstdint>

struct UrbSet;

// A data buffer for one URB of length bytes: one of the kept ones when the
// length is at most one URB (kUrbMaxLength), a buffer of its own beyond.
// Null when there is no memory. Its bytes are what an earlier URB left.
void* takeUrbBuffer(uint32_t length);
// Gives back a buffer taken with the same length (null is ignored).
void giveUrbBuffer(void* buffer, uint32_t length);

// A cleared set with room for slots URB records (records zeroed, none in the
// kernel); null when there is no memory.
UrbSet* takeUrbSet(int slots);
// Gives back a set whose buffers are all given back.
void giveUrbSet(UrbSet* set);

// What the calling thread's pool keeps now, for tests.
struct UrbPoolHolding {
    int buffers = 0;
    int sets = 0;
};
UrbPoolHolding urbPoolHolding();
