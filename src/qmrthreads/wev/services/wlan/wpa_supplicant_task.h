// "WPA Supplicant": runs the supplicant for exactly one interface, for WLAN
// (kind 1, "wlan0") or wired IEEE 802.1X (kind 0, "eth0"), with the
// control sockets under "/var/wifi" and the global one "/var/wpactrl". The
// supplicant is Debian's wpa_supplicant program, a child process whose end
// this task waits for (serving its messages); it is started at most once per
// run and not restarted.
#pragma once

#include "core/task/task.h"

class WpaSupplicantTask : public Task {
public:
    WpaSupplicantTask(int kind, const char* interfaceName);
    void run() override;

    int kind() const { return kind_; }
    const char* interfaceName() const { return interfaceName_; }

private:
    int kind_;
    char interfaceName_[32];
};

// Creates and starts the task once: 1 when it was started now, 0 when it
// exists already (or could not be started).
int startWpaSupplicantTask(int kind, const char* interfaceName);

// The started task (null before the first start). Never cleared.
WpaSupplicantTask* wpaSupplicantTask();

// Runs the supplicant on the calling task until it ends: its exit code, or
// -1 when it could not be started.
int runWpaSupplicant(Task* task, int kind, const char* interfaceName);

// The stop path: ends a running supplicant (SIGTERM, then SIGKILL after
// waitMs) so that it does not outlive the program.
void stopWpaSupplicant(int waitMs);
