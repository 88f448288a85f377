// Stream reads and writes of a connection, plain or through its TLS session.
#include "core/net/connection.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "core/util/byte_buffer.h"

namespace {

bool retryable(int e)
{
    return e == EINTR || e == EAGAIN || e == EWOULDBLOCK;
}

// A peer that went away is an ordinary write error, not a SIGPIPE: a client
// leaving before its answer must not reach the program's signal handler.
// Descriptors that are no sockets are written as they are.
ssize_t writeQuietly(int fd, const void* data, size_t size)
{
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK)
        n = ::write(fd, data, size);
    return n;
}

} // namespace

int Connection::readOnce(ByteBuffer* buffer, int count)
{
    if (hasSession())
        return sessionRead(buffer->memory, count);
    ssize_t n = read(fd, buffer->memory, static_cast<size_t>(count));
    return static_cast<int>(n);
}

int Connection::readAvailable(ByteBuffer* buffer, int64_t ticks, bool grow)
{
    for (;;) {
        if (grow)
            buffer->release();
        else
            buffer->rewind();

        int pending = hasSession() ? sessionPending() : 0;
        if (pending > 0) {
            if (grow && !buffer->reserve(std::min(pending, kFileBlockSize)))
                return 0;
            int n = sessionRead(buffer->memory, buffer->capacity);
            if (n > 0)
                buffer->length = n;
            if (n != 0)
                return n;
        }

        // Bytes already waiting need no wait (a request's body comes with
        // its header); the wait is for a socket that has nothing yet.
        int count = 0;
        bool counted = fd >= 0 && ioctl(fd, FIONREAD, &count) == 0;
        if (ticks != 0 && !(counted && count > 0)) {
            int error = 0;
            if (!wait4read(ticks, &error, true)) {
                buffer->release();
                return error;
            }
            counted = false;
        }

        if (!counted && (fd < 0 || ioctl(fd, FIONREAD, &count) != 0)) {
            errorState = kConnErrorBroken;
            buffer->release();
            return kConnBroken;
        }
        if (count == 0) {
            if (ticks == 0) {
                buffer->release();
                return 0;
            }
            count = kReadChunkSize;
        }
        if (grow) {
            if (!buffer->reserve(count)) {
                buffer->release();
                return 0;
            }
        } else {
            // A caller's array with no room takes nothing; a read of 0 bytes
            // would look like the peer closing.
            if (buffer->capacity <= 0 || !buffer->memory)
                return 0;
            count = std::min(count, buffer->capacity);
        }

        int n = readOnce(buffer, count);
        if (n > 0) {
            buffer->length = n;
            return n;
        }
        if (n == 0) {
            buffer->release();
            return kConnPeerClosed;
        }
        if (!hasSession() && retryable(errno))
            continue;
        errorState = kConnErrorBroken;
        buffer->release();
        return kConnBroken;
    }
}

int Connection::receiveBuffer(ByteBuffer* buffer, int64_t ticks)
{
    return readAvailable(buffer, ticks, true);
}

int Connection::receiveBytes(void* bytes, int size, int64_t ticks)
{
    ByteBuffer lent;
    lent.memory = bytes;
    lent.cursor = static_cast<char*>(bytes);
    lent.capacity = size;
    lent.owned = 0;
    int n = readAvailable(&lent, ticks, false);
    lent.release();
    return n;
}

int Connection::receiveSome(void* bytes, int size, int64_t ticks)
{
    if (hasSession() || size <= 0)
        return receiveBytes(bytes, size, ticks);
    for (;;) {
        ssize_t n = ::recv(fd, bytes, static_cast<size_t>(size), MSG_DONTWAIT);
        if (n > 0)
            return static_cast<int>(n);
        if (n == 0)
            return kConnPeerClosed;
        if (errno == ENOTSOCK)
            return receiveBytes(bytes, size, ticks);
        if (errno == EINTR)
            continue;
        if (!retryable(errno)) {
            errorState = kConnErrorBroken;
            return kConnBroken;
        }
        if (ticks == 0)
            return 0;
        int error = 0;
        if (!wait4read(ticks, &error, true))
            return error;
    }
}

int Connection::readChunk(ByteBuffer* buffer, int64_t ticks)
{
    if (ticks != 0 && !(hasSession() && sessionPending() > 0)) {
        int error = 0;
        if (!wait4read(ticks, &error, true))
            return 0;
    }
    if (!buffer->reserve(kReadChunkSize))
        return -1;
    int n = readOnce(buffer, kReadChunkSize);
    if (n > 0) {
        buffer->length = n;
        return n;
    }
    if (n < 0 && !hasSession() && retryable(errno))
        return 0;
    return -1;
}

int Connection::writeOnce(const void* data, int size)
{
    if (hasSession())
        return sessionWrite(data, size);
    return static_cast<int>(writeQuietly(fd, data, static_cast<size_t>(size)));
}

int Connection::waitForWritable(int64_t ticks)
{
    // The send buffer is full: block until it drains instead of retrying at
    // once, which would keep the processor busy while a peer stops reading.
    return wait4write(ticks == 0 ? kSendStallTicks : ticks, nullptr, true);
}

int Connection::send(const void* data, int length, int timeoutTicks, bool once)
{
    const char* p = static_cast<const char*>(data);
    int sent = 0;
    while (sent < length) {
        int n = writeOnce(p + sent, length - sent);
        if (n > 0) {
            sent += n;
            bytesSent += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && !retryable(errno)) {
            errorState = kConnErrorBroken;
            return kConnBroken;
        }
        if (once)
            return sent;
        if (!waitForWritable(timeoutTicks))
            return -1;
    }
    return sent;
}

ssize_t Connection::writev(const iovec* pieces, int count)
{
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(pieces);
    message.msg_iovlen = static_cast<size_t>(count);
    ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK)
        n = ::writev(fd, pieces, count);
    return n;
}

int Connection::sendSessionPieces(const iovec* pieces, int count)
{
    // Small frames are one record, as one send would make them; larger
    // pieces go as they are, without a copy.
    char small[kSmallFrameSize];
    size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += pieces[i].iov_len;
    if (count > 1 && total <= sizeof small) {
        size_t at = 0;
        for (int i = 0; i < count; ++i) {
            memcpy(small + at, pieces[i].iov_base, pieces[i].iov_len);
            at += pieces[i].iov_len;
        }
        const iovec whole = {small, total};
        return sendSessionPieces(&whole, 1);
    }
    int sent = 0;
    for (int i = 0; i < count; ++i) {
        const char* p = static_cast<const char*>(pieces[i].iov_base);
        int left = static_cast<int>(pieces[i].iov_len);
        while (left > 0) {
            int n = sessionWrite(p, left);
            if (n <= 0)
                return n;
            if (n > left)
                return -1;
            p += n;
            left -= n;
            sent += n;
            bytesSent += static_cast<uint32_t>(n);
        }
    }
    return sent;
}

int Connection::sendv(const iovec* pieces, int count, int timeoutTicks)
{
    if (count <= 0)
        return 0;
    if (hasSession())
        return sendSessionPieces(pieces, count);

    // A partial writev is finished from where it stopped: a reply header
    // without its data must never be left on the wire. The pieces not yet
    // sent go in batches through a small window, the first one cut at the
    // byte reached.
    constexpr int kWindow = 16;
    iovec window[kWindow];
    int first = 0;
    size_t offset = 0;  // bytes of pieces[first] already sent
    int total = 0;
    while (first < count) {
        const int batch = std::min(count - first, kWindow);
        for (int i = 0; i < batch; ++i)
            window[i] = pieces[first + i];
        window[0].iov_base = static_cast<char*>(window[0].iov_base) + offset;
        window[0].iov_len -= offset;
        ssize_t n = writev(window, batch);
        if (n < 0) {
            if (!retryable(errno)) {
                errorState = kConnErrorBroken;
                return -1;
            }
            if (!waitForWritable(timeoutTicks))
                return -1;
            continue;
        }
        total += static_cast<int>(n);
        bytesSent += static_cast<uint32_t>(n);
        size_t done = static_cast<size_t>(n) + offset;
        offset = 0;
        while (first < count && done >= pieces[first].iov_len) {
            done -= pieces[first].iov_len;
            ++first;
        }
        offset = done;
    }
    return total;
}

int Connection::sendFile(int fileFd)
{
    std::unique_ptr<char[]> block(new char[kFileBlockSize]);
    for (;;) {
        ssize_t n = read(fileFd, block.get(), kFileBlockSize);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        if (n > 0 && send(block.get(), static_cast<int>(n), 0, false) != n)
            return 0;
        if (n < kFileBlockSize)
            return 1;
    }
}
