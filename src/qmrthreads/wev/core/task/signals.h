// Stop signals and the crash dump.
#pragma once

#include <csignal>

// The crash handler for SIGSEGV, SIGILL, SIGABRT, SIGFPE, SIGBUS, SIGSYS,
// SIGXCPU, SIGIOT, SIGXFSZ, and the stop handler for SIGTERM. Returns 0 when
// every handler was installed.
int installSignalHandlers();

// Installs onTermSignal for SIGTERM, SIGINT, SIGUSR1, SIGUSR2 and SIGPIPE.
// SIGFPE and SIGBUS stay with the crash handler: on this processor a
// division by zero or a bus error re-runs the faulting instruction when the
// handler returns, so they cannot be survived by printing.
int installStopSignalHandlers();

void onTermSignal(int sig);
void onFatalSignal(int sig, siginfo_t* info, void* context);
