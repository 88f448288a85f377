// What code below the task framework may know of the thread it runs on: a
// name for its messages, and a pause that keeps serving the thread's owner
// (a task's messages must not wait behind a lock retry). The task framework
// fills the context in when a task's thread starts; any other thread is
// "NoTask" and pauses by sleeping.
#pragma once

struct ThreadContext {
    const char* name = "NoTask";
    // Waits ticks (1/100 s) on behalf of owner; null: sleep.
    void (*pause)(void* owner, int ticks) = nullptr;
    void* owner = nullptr;
};

// The context of the calling thread from now on; a default-made one forgets it.
void setThreadContext(const ThreadContext& context);
const char* currentThreadName();
// Waits ticks (1/100 s) as the thread's context says.
void pauseThread(int ticks);
