// The send loop of the datagram and packet sockets: short sends go on where
// they stopped, EINTR is tried again, and a full socket buffer gets a second
// to make room before the send counts as failed.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cerrno>

constexpr int kSendRoomWaitMs = 1000;

inline bool waitForSendRoom(int fd)
{
    pollfd p{fd, POLLOUT, 0};
    int rc;
    do {
        rc = poll(&p, 1, kSendRoomWaitMs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

// sendOnce(data, size) is one write or sendto. With once, its result is
// returned as it is (or -errno). Otherwise the number of bytes sent, or
// -errno of the failure (-EAGAIN when no room came).
template <typename SendOnce>
int sendWhole(int fd, const void* data, int length, bool once, SendOnce sendOnce)
{
    const char* p = static_cast<const char*>(data);
    int sent = 0;
    while (sent < length) {
        ssize_t n = sendOnce(p + sent, static_cast<size_t>(length - sent));
        if (once)
            return n < 0 ? -errno : static_cast<int>(n);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n == 0 || errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (waitForSendRoom(fd))
                continue;
            return -EAGAIN;
        }
        return -errno;
    }
    return sent;
}
