// The resolver mutex: the C library's name look-up keeps static state, so
// every look-up of the program runs under this one mutex, and so does every
// rewrite of the resolver file, so that no look-up reads it half written.
#pragma once

// Takes the mutex. While it is busy, a task's thread keeps serving its
// messages (waits of 50 ticks); any other thread sleeps 5 ms between tries.
void lockResolver();
void unlockResolver();
