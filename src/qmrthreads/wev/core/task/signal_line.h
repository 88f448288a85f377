// Text assembly for signal handlers: no locks, no allocation, written out
// with write(2) only.
#pragma once

#include <cstddef>

class SignalLine {
public:
    void add(const char* text);
    void addInt(long value);
    // The line says what a stop/test signal did: "<label>(<sig>) <task>
    // shutdowns:<n> sigInts:<n>\n".
    void addSignalReport(const char* label, int sig, const char* taskName, int shutdowns, int sigInts);
    void write(int fd) const;

private:
    char buf_[256];
    size_t len_ = 0;
};
