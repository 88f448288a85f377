// The waits of a connection. With an owner task the wait goes through the
// task's own message wait, so its messages are handled on this thread while
// the socket is watched; a handler result that keeps MSG_NETWORK_CHANGED
// (or another waking bit) ends the wait early.
#include "core/net/connection.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "core/task/task.h"

namespace {

// A wait without limit still wakes now and then and simply goes on; no
// single system call waits for ever.
constexpr int64_t kUnlimitedSliceTicks = 6000;

int64_t monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t deadlineFor(int64_t ticks)
{
    return monotonicMs() + ticks * 10;
}

// Milliseconds left until deadline, at least 0; a slice when unlimited.
int pollTimeout(bool unlimited, int64_t deadline)
{
    if (unlimited)
        return static_cast<int>(kUnlimitedSliceTicks * 10);
    return static_cast<int>(std::clamp<int64_t>(deadline - monotonicMs(), 0, INT_MAX));
}

bool socketReady(int fd, short events)
{
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = poll(&p, 1, 0);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
}

void store(int* error, int value)
{
    if (error)
        *error = value;
}

// The task's message wait watches one descriptor for reading. Writability is
// turned into readability through a private epoll set holding the socket.
class WritableWatch {
public:
    // No set at all for fd < 0: a read wait needs none.
    explicit WritableWatch(int fd)
    {
        if (fd < 0)
            return;
        epfd_ = epoll_create1(EPOLL_CLOEXEC);
        if (epfd_ < 0)
            return;
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.fd = fd;
        if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            ::close(epfd_);
            epfd_ = -1;
        }
    }
    ~WritableWatch()
    {
        if (epfd_ >= 0)
            ::close(epfd_);
    }
    WritableWatch(const WritableWatch&) = delete;
    WritableWatch& operator=(const WritableWatch&) = delete;
    int fd() const { return epfd_; }

private:
    int epfd_ = -1;
};

} // namespace

int Connection::wait4read(int64_t ticks, int* error, bool retryOnEintr)
{
    return waitForSocket(POLLIN, ticks, error, retryOnEintr);
}

int Connection::wait4write(int64_t ticks, int* error, bool retryOnEintr)
{
    return waitForSocket(POLLOUT, ticks, error, retryOnEintr);
}

int Connection::waitForSocket(short events, int64_t ticks, int* error, bool retryOnEintr)
{
    if (fd < 0) {
        store(error, kConnNoSocket);
        return 0;
    }
    // Only the owner's own thread may take its messages; a zero wait only
    // looks, so no message handler can pull the socket away under a caller
    // that has just seen it ready.
    if (owner && ticks != 0 && owner == Task::current())
        return waitServingOwner(events, ticks, error);
    return waitWithoutOwner(events, ticks, error, retryOnEintr);
}

int Connection::waitWithoutOwner(short events, int64_t ticks, int* error, bool retryOnEintr)
{
    const bool unlimited = ticks < 0;
    const int64_t deadline = unlimited ? 0 : deadlineFor(ticks);
    pollfd p{fd, events, 0};
    for (;;) {
        int rc = poll(&p, 1, pollTimeout(unlimited, deadline));
        if (rc < 0) {
            int e = errno;
            if (events == POLLIN)
                perror("wait4read:");
            if (e == EINTR && retryOnEintr)
                continue;
            store(error, -e);
            return 0;
        }
        if (rc > 0)
            return 1;
        if (unlimited)
            continue;
        store(error, kConnTimedOut);
        errorState = kConnErrorTimeout;
        // A zero time-out makes wait4write a look that never refuses: the
        // caller writes and learns from the write.
        return (events == POLLOUT && ticks == 0) ? 1 : 0;
    }
}

int Connection::waitServingOwner(short events, int64_t ticks, int* error)
{
    WritableWatch writable(events == POLLOUT ? fd : -1);
    int watched = fd;
    if (events == POLLOUT) {
        if (writable.fd() < 0) {
            store(error, -errno);
            return 0;
        }
        watched = writable.fd();
    }
    const bool unlimited = ticks < 0;
    const int64_t deadline = unlimited ? 0 : deadlineFor(ticks);
    for (;;) {
        int64_t slice = unlimited ? kUnlimitedSliceTicks : std::max<int64_t>(0, (deadline - monotonicMs() + 9) / 10);
        int rc = owner->waitFor(slice, watched);
        if (rc == 3)
            return 1;
        if (rc == 2)
            return socketReady(fd, events) ? 1 : 0;
        if (rc == 0) {
            int e = errno;
            if (events == POLLIN)
                perror("wait4read:");
            store(error, -e);
            return 0;
        }
        // Timed out: the whole wait, or one slice of an unlimited one.
        if (unlimited)
            continue;
        if (monotonicMs() < deadline)
            continue;
        store(error, kConnTimedOut);
        errorState = kConnErrorTimeout;
        return 0;
    }
}
