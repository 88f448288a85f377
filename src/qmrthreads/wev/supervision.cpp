#include "supervision.h"

#include "core/shutdown.h"
#include "core/start_state.h"
#include "core/task.h"
#include "core/tick_clock.h"

#include <cstdio>
#include <time.h>

namespace {

void onceASecond(SupervisionState& state)
{
    state.lastSecond = boardTicks();
}

} // namespace

bool supervisionPass(SupervisionState& state)
{
    int live = countRegisteredTasks();
    if (live < 0)
        fprintf(stderr, "TLOCK[%d] failed!\n", -1);
    if (live == 0)
        return false;

    uint64_t stopTick = shutdownTick();
    if (stopTick != 0 && monotonicTicksForSignal() > stopTick + kStopSignalGraceTicks)
        return false;

    if (boardTicks() > state.lastSecond + 100)
        onceASecond(state);

    if (shutdownRequests() > 0 && !state.shutdownStarted) {
        state.shutdownStarted = true;
        startShutdownTask(1);
    }
    return true;
}

void superviseTasks(SupervisionState& state)
{
    const timespec pause{0, 100 * 1000 * 1000};
    while (supervisionPass(state))
        nanosleep(&pause, nullptr);
}
