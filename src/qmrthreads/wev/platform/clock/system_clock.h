// The system clock seam. Setting the wall clock changes the whole machine, so
// it goes through one table with two back-ends: the kernel's clock, and a
// simulated clock for runs under a test or demo root, which only records the
// time it was given in the root's "/var/clock.sim" ("<seconds>.<microseconds>"
// and a line end), where a test reads it. The choice is made once, on first use.
#pragma once

#include <sys/time.h>

struct SystemClockOps {
    // settimeofday(2) semantics: 0, or -1 with errno set.
    int (*setTime)(const timeval& time);
};

// The kernel's clock when the root is the box's own "/", else the simulated one.
const SystemClockOps& systemClock();

extern const SystemClockOps realSystemClockOps;
extern const SystemClockOps simSystemClockOps;

// Where the simulated clock records the time it was set to.
constexpr const char* kSimClockPath = "/var/clock.sim";
