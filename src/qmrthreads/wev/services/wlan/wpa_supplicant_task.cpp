#include "services/wlan/wpa_supplicant_task.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "platform/files/root_path.h"
#include "platform/wlan/supplicant_process.h"
#include "platform/wlan/wlan_radio.h"
#include "services/wlan/wpa_ctrl.h"

namespace {

std::atomic<WpaSupplicantTask*> theSupplicantTask{nullptr};

constexpr int kSupplicantStack = 20480;
constexpr int64_t kWlanSettleTicks = 50;
// The wait for the child is bounded, then taken up again: the task stays
// responsive to messages and nothing waits without a limit.
constexpr int64_t kExitPollTicks = 1000;

bool wlanModelWithWifiOn()
{
    return (productInfo().compat_id & COMPAT_WLAN_BITS) != 0 && params::wifi()->isOn();
}

void makeControlDirectories()
{
    mkdir(boxPath("/var").c_str(), 0755);
    mkdir(boxPath("/var/wifi").c_str(), 0750);
    mkdir(boxPath("/var/log").c_str(), 0755);
}

int waitForChild(Task* task, int exitFd)
{
    for (;;) {
        int rc = task->waitFor(kExitPollTicks, exitFd);
        if (rc == 3 || rc == 0)
            return rc;
    }
}

} // namespace

WpaSupplicantTask::WpaSupplicantTask(int kind, const char* interfaceName)
    : Task("WPA Supplicant"), kind_(kind)
{
    snprintf(interfaceName_, sizeof interfaceName_, "%s", interfaceName ? interfaceName : "");
}

void WpaSupplicantTask::run()
{
    if (wlanModelWithWifiOn())
        waitFor(kWlanSettleTicks, -1);
    else
        wiredInterface().setupIpv4();
    int code = runWpaSupplicant(this, kind_, interfaceName_);
    printf("wpa supplicant on %s ended: %d\n", interfaceName_, code);
    fflush(stdout);
}

int startWpaSupplicantTask(int kind, const char* interfaceName)
{
    if (theSupplicantTask.load())
        return 0;
    auto* task = new WpaSupplicantTask(kind, interfaceName);
    WpaSupplicantTask* expected = nullptr;
    if (!theSupplicantTask.compare_exchange_strong(expected, task)) {
        delete task;
        return 0;
    }
    if (task->start(kSupplicantStack, 0) < 0)
        return 0;
    return 1;
}

WpaSupplicantTask* wpaSupplicantTask()
{
    return theSupplicantTask.load();
}

int runWpaSupplicant(Task* task, int kind, const char* interfaceName)
{
    makeControlDirectories();
    // Every path lives in the task's own buffers: the stop message may end
    // this thread inside the wait, and nothing on the heap may be left then.
    char controlDir[256];
    char globalControl[256];
    char logFile[256];
    snprintf(controlDir, sizeof controlDir, "%s/var/wifi", rootPrefix().c_str());
    snprintf(globalControl, sizeof globalControl, "%s/var/wpactrl", rootPrefix().c_str());
    snprintf(logFile, sizeof logFile, "%s/var/log/wpa_supplicant.log", rootPrefix().c_str());
    const SupplicantLaunch launch{interfaceName, kind == kWpaWlan ? "wext" : "wired", controlDir, globalControl,
                                  logFile};
    printf("************ start wpa supplicant *******************\n");
    fflush(stdout);
    int exitFd = -1;
    pid_t pid = kind == kWpaWlan ? wlanRadio().startSupplicant(launch, &exitFd)
                                 : startSupplicantProgram(launch, &exitFd);
    if (pid < 0) {
        printf("wpa supplicant on %s could not start: %s\n", interfaceName, strerror(errno));
        return -1;
    }
    waitForChild(task, exitFd);
    int code = kind == kWpaWlan ? wlanRadio().finishSupplicant(pid) : reapSupplicantProgram(pid);
    close(exitFd);
    return code;
}

void stopWpaSupplicant(int waitMs)
{
    stopSupplicantProgram(waitMs);
    wlanRadio().stopSupplicant();
}
