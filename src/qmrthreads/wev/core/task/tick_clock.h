// The program's clock: ticks of 1/100 s since the first reading. It comes from
// the board driver's counter while that answers; once a reading fails (or a
// reading is taken before the board is open) the clock runs on the monotonic
// system clock for the rest of the run, continuing from the last value.
//
// Not for signal handlers: a handler reads monotonicTicksForSignal() instead.
#pragma once

#include <cstdint>

uint64_t boardTicks();

// The board device hands in how to read its counter: 1 and the value, or 0.
using TickCounterReader = int (*)(uint64_t* value);
void setTickCounterReader(TickCounterReader reader);

// Lock-free, async-signal-safe reading of the monotonic clock in 1/100 s.
uint64_t monotonicTicksForSignal();

// Tests drive time instead of sleeping: with a source set, boardTicks()
// returns its value as it is. nullptr restores the real clock.
using TickSource = uint64_t (*)();
void setTickSourceForTest(TickSource source);
