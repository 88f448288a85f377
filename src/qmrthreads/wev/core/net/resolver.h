// The resolver file's mutex: every rewrite of the resolver file runs under
// it, so two rewrites never interleave. Name look-ups do not take it: they
// use the C library's reentrant look-up, and one that waits for silent name
// servers must not hold back the file that names new ones.
#pragma once

// Takes the mutex. While it is busy, a task's thread keeps serving its
// messages (waits of 50 ticks); any other thread sleeps 5 ms between tries.
void lockResolver();
void unlockResolver();
