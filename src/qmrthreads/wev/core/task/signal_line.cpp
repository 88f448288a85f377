#include "core/task/signal_line.h"

#include <cerrno>
#include <unistd.h>

void SignalLine::add(const char* text)
{
    while (text && *text && len_ < sizeof buf_)
        buf_[len_++] = *text++;
}

void SignalLine::addInt(long value)
{
    char digits[24];
    int n = 0;
    unsigned long u = value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (value < 0)
        digits[n++] = '-';
    while (n > 0 && len_ < sizeof buf_)
        buf_[len_++] = digits[--n];
}

void SignalLine::addSignalReport(const char* label, int sig, const char* taskName, int shutdowns, int sigInts)
{
    add(label);
    add("(");
    addInt(sig);
    add(") <");
    add(taskName);
    add("> shutdowns:");
    addInt(shutdowns);
    add(" sigInts:");
    addInt(sigInts);
    add("\n");
}

void SignalLine::write(int fd) const
{
    size_t off = 0;
    while (off < len_) {
        ssize_t n = ::write(fd, buf_ + off, len_ - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}
