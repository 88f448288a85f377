// Debian's wpa_supplicant program as a child process of this one. The
// supplicant does WLAN and wired IEEE 802.1X for exactly one interface; the
// program talks to it only over its control sockets. Running it as a child
// keeps the program's own signal handlers in force: the supplicant's handlers
// for SIGINT, SIGTERM and SIGHUP act on the child alone, and a stop of the
// program stops the child (stopSupplicantProgram, and the parent-death signal
// when the thread that started it ends).
#pragma once

#include <sys/types.h>

struct SupplicantLaunch {
    const char* interfaceName;  // "eth0", "wlan0"
    const char* driver;         // "wired", "wext"
    const char* controlDir;     // per-interface sockets: <dir>/<interface>
    const char* globalControl;  // the global control socket
    const char* logFile;        // the supplicant's debug output
};

// Where the program lives; tests may name another one.
constexpr const char* kSupplicantProgram = "/usr/sbin/wpa_supplicant";

// Starts the program. The child's pid, or -1 (errno set). *exitFd becomes a
// descriptor that turns readable when the child ends (close it after
// reapSupplicantProgram).
pid_t startSupplicantProgram(const SupplicantLaunch& launch, int* exitFd);

// Collects the ended child: its exit code, 128 + the signal that ended it,
// or -1 when it cannot be collected.
int reapSupplicantProgram(pid_t pid);

// Asks the running child (if any) to end with SIGTERM and waits for it up to
// waitMs; after that it is killed. Safe to call from any thread, and when no
// child runs.
void stopSupplicantProgram(int waitMs);

// The command line the launch gives, for the log and the tests; argv holds at
// least 16 entries, the list ends with a null pointer.
void supplicantArguments(const SupplicantLaunch& launch, const char** argv);
