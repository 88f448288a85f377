#include "startup.h"

#include "core/blinker.h"
#include "core/board_device.h"
#include "core/gpio_task.h"
#include "core/kernel_setting.h"
#include "core/model_features.h"
#include "core/param_handles.h"
#include "core/param_store.h"
#include "core/root_path.h"
#include "core/romfs_mount.h"
#include "core/signals.h"
#include "core/start_state.h"
#include "core/task.h"
#include "core/static_setup.h"
#include "core/texts.h"
#include "core/tick_clock.h"
#include "lazy_hub_watcher.h"
#include "supervision.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
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

void loadParameters()
{
    ParamStore::loadFile(paramFilePath().c_str());
    setRuntimeEnv();
}

void setDirtyPageIntervals()
{
    writeStringToFile(boxPath("/proc/sys/vm/dirty_expire_centisecs").c_str(), "100");
    writeStringToFile(boxPath("/proc/sys/vm/dirty_writeback_centisecs").c_str(), "100");
}

void countBoot()
{
    IntParam* life = params::life();
    life->setChecked(life->value() + 1);
    if (saveParamsIfDirty() & kChangedSaveFailed)
        fprintf(stderr, "start-up: could not save %s\n", paramFilePath().c_str());
}

void openBoard()
{
    if (boardDevice().open())
        startGpioTask(&boardDevice());
}

// Whether the board has the simple LED driver is known once "GPio" has
// probed it; its start-up is bounded (LED test and port power groups).
void startBlinkerOnSimpleDriver()
{
    if (!boardDevice().isOpen())
        return;
    const timespec pause{0, 100 * 1000 * 1000};
    for (int i = 0; i < 300 && !boardDevice().started() && shutdownRequests() == 0; ++i)
        nanosleep(&pause, nullptr);
    if (boardDevice().started() && !boardDevice().extendedDriver())
        startBlinkerTask(&boardDevice());
}

void mountReadOnlyImage()
{
    if (mountRomfs())
        return;
    switchRomfs();
    mountRomfs();
}

void applyDefaultPorts()
{
    setServicePorts(httpPort() == -1 ? 80 : httpPort(), httpsPort() == -1 ? 443 : httpsPort(),
                    snmpPort() == -1 ? 161 : snmpPort());
}

void printBanner()
{
    fprintf(stderr, "\n#\n##\n#### %s Master running on %s ip:%s/%s HTTP:%d HTTPS:%d KickOff:%d ####\n##\n#\n",
            "wev", "eth0", params::ip_addr()->text().c_str(), params::ip_mask()->text().c_str(),
            httpPort(), httpsPort(), startCounter());
}

void startTasks()
{
    launch(new LazyHubWatcher(), 20480);
    startBlinkerOnSimpleDriver();
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
    boardDevice().close();
    switchRomfs();
    fflush(stdout);
    fflush(stderr);
    return exitCode();
}

} // namespace

int runBox()
{
    staticSetUp();
    boardDevice();
    readStartCounter();
    umask(077);
    installSignalHandlers();
    loadParameters();
    setDirtyPageIntervals();
    countBoot();
    openBoard();

    installStopSignalHandlers();
    applyDefaultPorts();
    printBanner();
    mountReadOnlyImage();
    initMessageCatalogue();

    startTasks();
    SupervisionState state = finishStartUp();

    superviseTasks(state);
    return endSequence();
}
