#include "supervision.h"

#include "support/fn_task.h"
#include "core/task/signals.h"
#include "core/task/start_state.h"
#include "core/task/task.h"
#include "core/task/tick_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A task that never reads its pipe, so the stop message does not end it.
class StubbornTask : public Task {
public:
    explicit StubbornTask(std::atomic<bool>& release) : Task("Stubborn"), release_(release) {}
    void run() override
    {
        while (!release_)
            std::this_thread::sleep_for(5ms);
    }

private:
    std::atomic<bool>& release_;
};

class Supervision : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(installStopSignalHandlers(), 0);
        setShutdownTick(0);
    }
};

TEST_F(Supervision, EndsWhenNoTaskIsLeft)
{
    ASSERT_EQ(countRegisteredTasks(), 0);
    SupervisionState state;
    EXPECT_FALSE(supervisionPass(state));
}

TEST_F(Supervision, EndsAfterTheGraceTimeFollowingAStopSignalEvenWithATaskLeft)
{
    std::atomic<bool> release{false};
    auto* task = new StubbornTask(release);
    ASSERT_GT(task->start(20480, 0), 0);
    SupervisionState state;
    state.shutdownStarted = true;  // only the time limit is looked at here
    EXPECT_TRUE(supervisionPass(state));
    setShutdownTick(monotonicTicksForSignal());
    EXPECT_TRUE(supervisionPass(state));
    setShutdownTick(monotonicTicksForSignal() - kStopSignalGraceTicks - 2);
    EXPECT_FALSE(supervisionPass(state));
    release = true;
    setShutdownTick(0);
    EXPECT_TRUE(eventually([] { return countRegisteredTasks() == 0; }));
}

// The whole stop: one stop request, one "ShutDown" whatever the number of
// passes, its SIGTERM wave marks the stop time, and a task that ignores the
// stop message does not keep the loop from ending.
TEST_F(Supervision, StopRequestEndsLoopWithinTheLimitDespiteAStubbornTask)
{
    std::atomic<bool> release{false};
    auto* task = new StubbornTask(release);
    ASSERT_GT(task->start(20480, 0), 0);
    int requestsBefore = shutdownRequests();
    SupervisionState state;
    requestStop();
    auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    superviseTasks(state);
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    // delay 1 s + 1 s after the broadcast + 5 s after the SIGTERM wave
    EXPECT_GE(seconds, 6);
    EXPECT_LT(seconds, 60);
    EXPECT_TRUE(state.shutdownStarted);
    EXPECT_NE(shutdownTick(), 0u);

    // The loop ends on the time limit that the SIGTERM handler started, not
    // on the work after it: the rest of that handler (its count and its
    // report) and the "ShutDown" task's own count may still be under way.
    // Both threads are through once both tasks have left the registry.
    release = true;
    EXPECT_TRUE(eventually([] { return countRegisteredTasks() == 0; }));
    std::string err = testing::internal::GetCapturedStderr();
    // The request, the SIGTERM that reached the stubborn task, and the
    // "ShutDown" task counting itself when it ended.
    EXPECT_EQ(shutdownRequests(), requestsBefore + 3);
    EXPECT_NE(err.find("sigTERM(15) <Stubborn>"), std::string::npos) << err;
}

} // namespace
