#include "core/util/thread_context.h"

#include <time.h>

namespace {

// Read by signal handlers too: a plain thread-local, never the thread library.
thread_local ThreadContext context;

} // namespace

void setThreadContext(const ThreadContext& c)
{
    context = c;
}

const char* currentThreadName()
{
    return context.name;
}

void pauseThread(int ticks)
{
    if (context.pause) {
        context.pause(context.owner, ticks);
        return;
    }
    timespec delay{ticks / 100, (ticks % 100) * 10000000L};
    nanosleep(&delay, nullptr);
}
