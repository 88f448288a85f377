#include "core/task/task.h"

#include "core/task/tick_clock.h"
#include "core/util/thread_context.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

pthread_mutex_t TLOCK = PTHREAD_MUTEX_INITIALIZER;
Task* taskRegistry[TASK_REGISTRY_SLOTS];  // guarded by TLOCK
int taskIdCounter = 0;                    // guarded by TLOCK

std::atomic<int> registryOverflow{0};
std::atomic<int> droppedMessages{0};

pthread_key_t taskKey;
pthread_once_t taskKeyOnce = PTHREAD_ONCE_INIT;
// The same task for readers that must not call into the thread library: a
// signal handler names the task it interrupted.
thread_local Task* threadTask = nullptr;

void taskKeyDestructor(void* value)
{
    threadTask = nullptr;
    setThreadContext(ThreadContext());
    delete static_cast<Task*>(value);
}

void createTaskKey()
{
    int rc = pthread_key_create(&taskKey, taskKeyDestructor);
    if (rc != 0) {
        fprintf(stderr, "could not create task context key !! %s\n", strerror(rc));
        ::exit(-1);
    }
    pthread_setspecific(taskKey, nullptr);
}

// Registry posts must never block while TLOCK is held: a receiver that does
// not drain its pipe would otherwise freeze every post, start and count.
// A message is written in one write of at most PIPE_BUF bytes, which the
// pipe keeps whole among concurrent writers, so posters take no lock. Nor
// may they touch the task once the message is written: a stop message can
// end the task and delete it before write() has returned to the poster.
static_assert(sizeof(TaskMessage) <= PIPE_BUF, "a task message must reach the pipe in one piece");

int writeMessage(int fd, const TaskMessage* msg)
{
    ssize_t n;
    do {
        n = write(fd, msg, sizeof *msg);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof *msg))
        return 0;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        droppedMessages.fetch_add(1);
        fprintf(stderr, "task: pipe full, message %08x to task %d dropped\n", msg->code, msg->receiver);
    }
    return -1;
}

// The pause of the lower layers' lock retries: a task keeps taking its
// messages meanwhile.
void pauseTask(void* owner, int ticks)
{
    static_cast<Task*>(owner)->waitFor(ticks, -1);
}

int64_t monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

void* taskThreadEntry(void* arg)
{
    Task* task = static_cast<Task*>(arg);
    pthread_setspecific(taskKey, task);
    threadTask = task;
    setThreadContext(ThreadContext{task->name_, pauseTask, task});
    task->pid_ = getpid();
    task->tid_.store(gettid());
    task->ppid_ = getppid();
    task->threadId_ = pthread_self();
    prctl(PR_SET_NAME, task->name_, 0, 0, 0);

    // The creator holds TLOCK across pthread_create: passing through it here
    // means the handle and the task id are stored before the body runs.
    if (pthread_mutex_lock(&TLOCK) != 0) {
        fprintf(stderr, "**** thread start synchronisation failed %p *****\n", static_cast<void*>(task));
        return nullptr;
    }
    task->threadRecorded_.store(true);
    pthread_mutex_unlock(&TLOCK);

    task->run();
    return nullptr;
}

Task::Task(const char* name) : name_(name)
{
    creationTick_.store(boardTicks());
    pthread_once(&taskKeyOnce, createTaskKey);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        fprintf(stderr, "%s:%d: could not create message pipe:\n", "task", 97);
        ::exit(-1);
    }
    pipeRead_ = fds[0];
    pipeWrite_ = fds[1];
    fcntl(pipeWrite_, F_SETFL, fcntl(pipeWrite_, F_GETFL) | O_NONBLOCK);

    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) {
        fprintf(stderr, "%s:%d: epoll error: %s !!\n", "task", 118, strerror(errno));
        ::exit(-1);
    }
    pipeSource_ = EventSource{this, Task::pipeCallback, pipeRead_};
    addEventSource(&pipeSource_, EPOLLIN | EPOLLHUP);

    bool registered = false;
    if (lockTaskRegistry()) {
        for (Task*& slot : taskRegistry) {
            if (!slot) {
                slot = this;
                registered = true;
                break;
            }
        }
        unlockTaskRegistry();
    }
    if (!registered)
        registryOverflow.fetch_add(1);
}

Task::~Task()
{
    if (epollFd_ >= 0 && pipeSource_.fd >= 0) {
        removeEventSource(pipeSource_.fd);
        pipeSource_ = EventSource{};
    }
    pthread_mutex_lock(&TLOCK);
    for (Task*& slot : taskRegistry) {
        if (slot == this) {
            slot = nullptr;
            break;
        }
    }
    pthread_mutex_unlock(&TLOCK);
    for (int* fd : {&epollFd_, &pipeRead_, &pipeWrite_}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void Task::exit()
{
    pthread_exit(nullptr);
}

uint32_t Task::onMessage(TaskMessage* msg)
{
    printf("Task \"%s\" Tid:%d has no Msg Handler for msg:%08x\n", name_, taskId(), msg->code);
    return msg->code;
}

int Task::post(TaskMessage* msg)
{
    msg->receiver = taskId();
    return writeMessage(pipeWrite_, msg);
}

int scaledStackSize(int requested)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int floor = 4 << 20;
#else
    constexpr int floor = 256 << 10;
#endif
    constexpr int factor = 8;
    long scaled = static_cast<long>(std::max(requested, 0)) * factor;
    scaled = std::max<long>(scaled, floor);
    scaled = std::max<long>(scaled, PTHREAD_STACK_MIN);
    return static_cast<int>(std::min<long>(scaled, INT_MAX));
}

int Task::start(int stackSize, int joinable)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return -1;
    stackSize_ = scaledStackSize(stackSize);
    if (pthread_attr_setstacksize(&attr, static_cast<size_t>(stackSize_)) != 0) {
        pthread_attr_destroy(&attr);
        return -1;
    }
    if (!joinable)
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);

    pthread_mutex_lock(&TLOCK);
    if (++taskIdCounter < 0)
        taskIdCounter = 1;
    int id = taskIdCounter;
    taskId_.store(id);
    int rc = pthread_create(&threadHandle_, &attr, taskThreadEntry, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        // A task that never ran must not stay in the registry: the supervision
        // count would never reach zero. The creator still owns the object.
        taskId_.store(-1);
        for (Task*& slot : taskRegistry) {
            if (slot == this) {
                slot = nullptr;
                break;
            }
        }
        pthread_mutex_unlock(&TLOCK);
        fprintf(stderr, "task: could not start \"%s\": %s\n", name_, strerror(rc));
        return -1;
    }
    pthread_mutex_unlock(&TLOCK);
    return id;
}

uint32_t Task::dispatchMessage()
{
    TaskMessage msg{};
    ssize_t n;
    do {
        n = read(pipeRead_, &msg, sizeof msg);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof msg))
        exit();
    if (msg.code & MSG_STOP)
        exit();
    return onMessage(&msg);
}

int Task::waitFor(int64_t ticks, int fd)
{
    const bool forever = ticks < 0;
    const int64_t deadline = monotonicMs() + (forever ? 0 : ticks * 10);
    pollfd fds[2];
    fds[0] = {pipeRead_, POLLIN, 0};
    fds[1] = {fd, POLLIN, 0};
    const nfds_t count = fd > 0 ? 2 : 1;
    for (;;) {
        int timeout = -1;
        if (!forever) {
            int64_t left = deadline - monotonicMs();
            timeout = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
        }
        int rc = poll(fds, count, timeout);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        if (rc == 0)
            return 1;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (dispatchMessage() & MSG_WAKE_BITS)
                return 2;
        }
        if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            return 3;
    }
}

int Task::pollEvents(int ms)
{
    epoll_event events[4];
    int n;
    do {
        n = epoll_wait(epollFd_, events, 4, ms);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;

    // Owners are captured before any callback runs: a callback may free its
    // owner, and with it every source embedded there.
    void* owners[4];
    for (int i = 0; i < n; ++i) {
        auto* src = static_cast<EventSource*>(events[i].data.ptr);
        owners[i] = src ? src->owner : nullptr;
    }
    for (int i = 0; i < n; ++i) {
        auto* src = static_cast<EventSource*>(events[i].data.ptr);
        if (!src || !owners[i] || !src->callback)
            continue;
        if (src->callback(src, events[i].events) < 0) {
            void* gone = owners[i];
            for (int j = i + 1; j < n; ++j) {
                if (owners[j] == gone)
                    owners[j] = nullptr;
            }
        }
    }
    return n;
}

int Task::pollMessage()
{
    int pending = 0;
    if (pipeRead_ < 0 || ioctl(pipeRead_, FIONREAD, &pending) != 0 || pending < 1)
        return 0;
    dispatchMessage();
    return 1;
}

int Task::addEventSource(EventSource* src, uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = src;
    ++epollChanges_;
    return epoll_ctl(epollFd_, EPOLL_CTL_ADD, src->fd, &ev);
}

int Task::modifyEventSource(EventSource* src, uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = src;
    return epoll_ctl(epollFd_, EPOLL_CTL_MOD, src->fd, &ev);
}

int Task::removeEventSource(int fd)
{
    ++epollChanges_;
    return epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
}

int Task::pipeCallback(EventSource* src, uint32_t)
{
    // An earlier callback of the same batch may have waited and taken the
    // message this event announced: read only what is there, never block.
    if (src->owner)
        static_cast<Task*>(src->owner)->pollMessage();
    return 0;
}

Task* Task::current()
{
    return threadTask;
}

int currentTaskId()
{
    Task* t = Task::current();
    return t ? t->taskId() : -1;
}

const char* currentTaskName()
{
    return currentThreadName();
}

uint64_t taskTicks()
{
    return boardTicks();
}

int lockTaskRegistry()
{
    if (pthread_mutex_lock(&TLOCK) != 0) {
        fprintf(stderr, "TLOCK[%d] failed!\n", currentTaskId());
        return 0;
    }
    return 1;
}

void unlockTaskRegistry()
{
    pthread_mutex_unlock(&TLOCK);
}

int postToTaskNamed(const char* name, TaskMessage* msg)
{
    if (!lockTaskRegistry())
        return 0;
    int posted = 0;
    for (Task* t : taskRegistry) {
        if (t && strcmp(t->name(), name) == 0) {
            t->post(msg);
            ++posted;
        }
    }
    unlockTaskRegistry();
    return posted;
}

int postToTaskId(int tid, TaskMessage* msg)
{
    if (!lockTaskRegistry())
        return -1;
    int result = -1;
    for (Task* t : taskRegistry) {
        if (t && t->taskId() == tid) {
            result = t->post(msg);
            break;
        }
    }
    unlockTaskRegistry();
    return result;
}

int broadcastMessage(TaskMessage* msg)
{
    if (!lockTaskRegistry())
        return 0;
    int result = 0;
    for (Task* t : taskRegistry) {
        if (t)
            result |= t->post(msg);
    }
    unlockTaskRegistry();
    return result;
}

void signalTasks(const char* name, int sig)
{
    if (!lockTaskRegistry())
        return;
    Task* self = Task::current();
    for (Task* t : taskRegistry) {
        // Only threads that have recorded themselves have a valid handle:
        // constructed-but-unstarted tasks and failed starts have none.
        if (!t || t == self || t->taskId() <= 0 || !t->threadRecorded())
            continue;
        if (name && strcmp(t->name(), name) != 0)
            continue;
        pthread_kill(t->threadHandle(), sig);
    }
    unlockTaskRegistry();
}

void shiftTaskStartTimes(uint64_t delta)
{
    if (!lockTaskRegistry())
        return;
    for (Task* t : taskRegistry) {
        if (t)
            t->creationTick_.fetch_add(delta);
    }
    unlockTaskRegistry();
}

int countRegisteredTasks()
{
    if (!lockTaskRegistry())
        return -1;
    int n = 0;
    for (Task* t : taskRegistry)
        n += t != nullptr;
    unlockTaskRegistry();
    return n;
}

int snapshotTasks(TaskSnapshot* out, int max)
{
    if (!out || max <= 0 || !lockTaskRegistry())
        return 0;
    int n = 0;
    for (Task* t : taskRegistry) {
        if (!t || n >= max)
            continue;
        TaskSnapshot& s = out[n++];
        s.taskId = t->taskId();
        s.threadId = t->threadTid();
        snprintf(s.name, sizeof s.name, "%s", t->name());
        s.stackSize = t->stackSize();
    }
    unlockTaskRegistry();
    return n;
}

int taskRegistryOverflowCount()
{
    return registryOverflow.load();
}

int droppedTaskMessageCount()
{
    return droppedMessages.load();
}
