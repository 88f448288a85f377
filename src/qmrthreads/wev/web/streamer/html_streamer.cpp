#include "web/streamer/html_streamer.h"

#include "web/http/page_table.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

HtmlStreamer::HtmlStreamer(const char* name, Body body, const std::string& argument)
    : Task(name), body_(body), argument_(argument)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        fprintf(stderr, "%s:%d pipe failed: %s\n", "htmlstrm", __LINE__, strerror(errno));
        return;
    }
    streamRead_ = fds[0];
    streamWrite_ = fds[1];
    // The body waits for room itself, with a limit; a blocking write of a
    // large piece could wait for ever on a reader that stopped.
    fcntl(streamWrite_, F_SETFL, fcntl(streamWrite_, F_GETFL) | O_NONBLOCK);
}

HtmlStreamer::~HtmlStreamer()
{
    closeWriteEnd();
}

void HtmlStreamer::closeWriteEnd()
{
    if (streamWrite_ >= 0)
        close(streamWrite_);
    streamWrite_ = -1;
}

void HtmlStreamer::run()
{
    if (body_)
        body_(*this);
    closeWriteEnd();
}

int HtmlStreamer::write(const void* data, size_t length)
{
    const char* at = static_cast<const char*>(data);
    while (length > 0) {
        if (streamWrite_ < 0)
            return -1;
        pollfd p{streamWrite_, POLLOUT, 0};
        int ready = poll(&p, 1, kStreamerWriteMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (p.revents & (POLLERR | POLLNVAL)))
            return -1;
        ssize_t n = ::write(streamWrite_, at, length);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return -1;
        at += n;
        length -= static_cast<size_t>(n);
        written_ += static_cast<size_t>(n);
    }
    return 0;
}

int HtmlStreamer::printf(const char* format, ...)
{
    char text[kStreamerTextSize];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        return -1;
    size_t length = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    return write(text, length);
}

int startStreamer(HtmlStreamer* streamer, int stackSize)
{
    if (!streamer)
        return -1;
    int readEnd = streamer->streamRead_;
    if (readEnd < 0 || streamer->streamWrite_ < 0 || streamer->start(stackSize, 0) < 0) {
        if (readEnd >= 0)
            close(readEnd);
        delete streamer;
        return -1;
    }
    // The thread may already have ended and freed the streamer: only the
    // saved read end is used from here on.
    return (readEnd << 8) | kAnswerPipe;
}
