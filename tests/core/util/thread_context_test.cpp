#include "core/util/thread_context.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

struct PauseRecord {
    void* owner = nullptr;
    int ticks = -1;
};

void recordPause(void* owner, int ticks)
{
    auto* record = static_cast<PauseRecord*>(owner);
    record->owner = owner;
    record->ticks = ticks;
}

// A thread names itself and pauses through what its context says; a thread
// without one is "NoTask" and sleeps; the context belongs to one thread.
TEST(ThreadContext, NameAndPauseFollowTheThreadsContext)
{
    EXPECT_STREQ(currentThreadName(), "NoTask");
    PauseRecord record;
    setThreadContext(ThreadContext{"Worker", recordPause, &record});
    EXPECT_STREQ(currentThreadName(), "Worker");
    pauseThread(7);
    EXPECT_EQ(record.owner, &record);
    EXPECT_EQ(record.ticks, 7);

    std::string otherName;
    std::thread other([&] { otherName = currentThreadName(); });
    other.join();
    EXPECT_EQ(otherName, "NoTask") << "another thread keeps its own context";

    setThreadContext(ThreadContext());
    EXPECT_STREQ(currentThreadName(), "NoTask");
    record.ticks = -1;
    pauseThread(1);
    EXPECT_EQ(record.ticks, -1) << "without a context the thread sleeps";
}

} // namespace
