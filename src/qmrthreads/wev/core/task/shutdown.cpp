#include "core/task/shutdown.h"

#include "core/task/start_state.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace {
// Only the first "ShutDown" task of the process runs the stop sequence.
std::atomic<bool> stopSequencePending{true};
std::atomic<StopSequenceNotice> stopSequenceNotice{nullptr};
std::atomic<StopBarrier> stopBarrier{nullptr};
} // namespace

ShutDownTask::ShutDownTask(int delaySeconds) : Task("ShutDown"), delay_(delaySeconds) {}

void ShutDownTask::run()
{
    if (stopSequencePending.exchange(false)) {
        if (StopSequenceNotice notice = stopSequenceNotice.load())
            notice();
        if (delay_ > 0)
            waitFor(static_cast<int64_t>(delay_) * 100, -1);
        for (int waited = 0; stopMustWait() && waited < kStopWaitLimitSeconds * 10; ++waited)
            waitFor(10, -1);
        TaskMessage stop{0, MSG_STOP, 0, 0};
        broadcastMessage(&stop);
        sleep(1);
        signalTasks(nullptr, SIGTERM);
    }
    requestStop();
    exit();
}

void setStopSequenceNotice(StopSequenceNotice notice)
{
    stopSequenceNotice.store(notice);
}

void setStopBarrier(StopBarrier barrier)
{
    stopBarrier.store(barrier);
}

bool stopMustWait()
{
    StopBarrier barrier = stopBarrier.load();
    return barrier && barrier();
}

int startShutdownTask(int delaySeconds)
{
    auto* task = new ShutDownTask(delaySeconds);
    int id = task->start(20480, 0);
    if (id < 0)
        delete task;
    return id;
}
