// Tasks: every long-running activity of the program is a Task with its own
// thread, message pipe and epoll set, registered in the process-wide
// taskRegistry. Tasks talk through 16-byte TaskMessage records written into the
// receiver's pipe; every wait of a task hands arriving messages to onMessage()
// on the task's own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>

// Message codes used program-wide (one bit each).
enum : uint32_t {
    MSG_STOP = 0x2,               // the receiving thread ends before any handler runs
    MSG_NOTIFY_EVENT = 0x10,      // word 2 carries an event mask for the notification task
    MSG_ADDRESS_REPLACED = 0x1000,// the interface's IPv4 address was replaced
    MSG_NETWORK_CHANGED = 0x4000, // the network configuration changed
    MSG_RESTART_DHCP = 0x8000,    // restart the DHCP exchange
};

// A handler result with one of these bits ends Task::waitFor with result 2.
constexpr uint32_t MSG_WAKE_BITS = 0xc010;

struct TaskMessage {
    int32_t receiver;  // overwritten by Task::post with the receiver's task id
    uint32_t code;
    int32_t arg1;
    int32_t arg2;
};
static_assert(sizeof(TaskMessage) == 16, "TaskMessage is four 32-bit words");

// epoll registration record, embedded in the object that owns the descriptor.
// owner == nullptr disables the source. A negative callback result means the
// owner is finished (it may already be freed): its other sources in the same
// batch of events are skipped without being touched.
struct EventSource {
    void* owner = nullptr;
    int (*callback)(EventSource* src, uint32_t events) = nullptr;
    int fd = -1;
};

class Task {
public:
    explicit Task(const char* name);
    virtual ~Task();

    virtual void run() = 0;
    [[noreturn]] virtual void exit();
    virtual uint32_t onMessage(TaskMessage* msg);
    virtual int post(TaskMessage* msg);

    // Starts the thread; returns the new task id, or -1.
    int start(int stackSize, int joinable);

    uint32_t dispatchMessage();
    int waitFor(int64_t ticks, int fd);
    int pollEvents(int ms);
    int pollMessage();

    int addEventSource(EventSource* src, uint32_t events);
    int modifyEventSource(EventSource* src, uint32_t events);
    int removeEventSource(int fd);

    static int pipeCallback(EventSource* src, uint32_t events);
    static Task* current();

    const char* name() const { return name_; }
    // The read end of the message pipe, for a task whose loop waits on
    // descriptors that a library owns (the SNMP agent).
    int messageFd() const { return pipeRead_; }
    int taskId() const { return taskId_.load(); }
    uint64_t creationTick() const { return creationTick_.load(); }
    int stackSize() const { return stackSize_; }
    int epollChangeCount() const { return epollChanges_; }
    pid_t processId() const { return pid_; }
    // The kernel's id of the task's thread (/proc/self/task/<id>), 0 before
    // the thread ran.
    pid_t threadTid() const { return tid_.load(); }
    pthread_t threadHandle() const { return threadHandle_; }
    bool threadRecorded() const { return threadRecorded_.load(); }

    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

private:
    friend void* taskThreadEntry(void* arg);
    friend void shiftTaskStartTimes(uint64_t delta);

    int stackSize_ = 0;
    std::atomic<uint64_t> creationTick_{0};
    pthread_t threadId_{};
    pid_t pid_ = 0;
    std::atomic<pid_t> tid_{0};
    pid_t ppid_ = 0;
    std::atomic<int> taskId_{0};
    pthread_t threadHandle_{};
    std::atomic<bool> threadRecorded_{false};
    const char* name_;
    int epollFd_ = -1;
    int epollChanges_ = 0;
    int pipeRead_ = -1;
    int pipeWrite_ = -1;
    EventSource pipeSource_;
};

int currentTaskId();
const char* currentTaskName();
uint64_t taskTicks();

int lockTaskRegistry();
void unlockTaskRegistry();
int postToTaskNamed(const char* name, TaskMessage* msg);
int postToTaskId(int tid, TaskMessage* msg);
int broadcastMessage(TaskMessage* msg);
void signalTasks(const char* name, int sig);
void shiftTaskStartTimes(uint64_t delta);

// Number of occupied registry slots (the supervision loop's count).
int countRegisteredTasks();

// The registered tasks as they are now, copied under the registry lock (the
// thread information page): at most max entries, the count copied.
struct TaskSnapshot {
    int taskId;
    pid_t threadId;
    char name[32];
    int stackSize;
};
int snapshotTasks(TaskSnapshot* out, int max);

constexpr int TASK_REGISTRY_SLOTS = 64;
// Tasks constructed while every registry slot was taken.
int taskRegistryOverflowCount();
// Messages dropped because the receiver's pipe was full.
int droppedTaskMessageCount();

// The box's stack sizes are ARM figures; threads here get them scaled by one
// build-wide factor, with a floor that holds OpenSSL, net-snmp and sanitizers.
int scaledStackSize(int requested);
