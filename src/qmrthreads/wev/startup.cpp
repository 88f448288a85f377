#include "startup.h"

#include "core/signals.h"
#include "core/start_state.h"
#include "core/task.h"
#include "core/tick_clock.h"
#include "lazy_hub_watcher.h"
#include "supervision.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Creates and starts a task that frees itself when its thread ends.
template <typename T>
int launch(T* task, int stackSize)
{
    int id = task->start(stackSize, 0);
    if (id < 0)
        delete task;
    return id;
}

void readStartCounter()
{
    const char* kickOff = getenv("KickOff");
    setStartCounter(kickOff ? atoi(kickOff) : -1);
}

void applyDefaultPorts()
{
    setServicePorts(httpPort() == -1 ? 80 : httpPort(), httpsPort() == -1 ? 443 : httpsPort(),
                    snmpPort() == -1 ? 161 : snmpPort());
}

void printBanner()
{
    fprintf(stderr, "\n#\n##\n#### %s Master running on %s ip:%s/%s HTTP:%d HTTPS:%d KickOff:%d ####\n##\n#\n",
            "wev", "eth0", "", "", httpPort(), httpsPort(), startCounter());
}

void startTasks()
{
    launch(new LazyHubWatcher(), 20480);
}

SupervisionState finishStartUp()
{
    SupervisionState state;
    state.lastSecond = boardTicks();
    return state;
}

int endSequence()
{
    // Tasks may still run after the stop time-out: shared objects stay alive
    // and the process ends without running static destructors.
    fflush(stdout);
    fflush(stderr);
    return exitCode();
}

} // namespace

int runBox()
{
    readStartCounter();
    umask(077);
    installSignalHandlers();

    installStopSignalHandlers();
    applyDefaultPorts();
    printBanner();

    startTasks();
    SupervisionState state = finishStartUp();

    superviseTasks(state);
    return endSequence();
}
