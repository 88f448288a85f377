// The "ShutDown" task: after its delay it broadcasts the stop message, waits a
// second and sends SIGTERM to every other task thread. Only the first one of
// the process does that; later ones only count a stop request.
#pragma once

#include "core/task/task.h"

class ShutDownTask : public Task {
public:
    explicit ShutDownTask(int delaySeconds);
    void run() override;

private:
    int delay_;
};

// What the box shows when the stop sequence begins (the board registers its
// display code); it runs on the "ShutDown" task's thread. Null: nothing.
using StopSequenceNotice = void (*)();
void setStopSequenceNotice(StopSequenceNotice notice);

// What must finish before the box stops (an image being written to the
// flash): the stop sequence and the supervision loop wait while it answers
// true, for at most kStopWaitLimitSeconds. Null: nothing.
using StopBarrier = bool (*)();
void setStopBarrier(StopBarrier barrier);
bool stopMustWait();
constexpr int kStopWaitLimitSeconds = 600;

// Creates and starts a "ShutDown" task with the given delay (seconds).
// Returns the task id, or -1 when it could not be started.
int startShutdownTask(int delaySeconds);
