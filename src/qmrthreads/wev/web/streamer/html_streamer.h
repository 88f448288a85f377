// HtmlStreamer: a task that runs one body function and writes what it
// produces into a pipe. A page handler makes one, may write a head into the
// pipe first (it must fit the pipe's buffer), and hands the read end to the
// connection with startStreamer(); the connection owns the read end from
// then on. When the body returns, the write end is closed, which ends the
// answer, and the task deletes itself.
//
// Every write waits at most 60 seconds for room in the pipe: a connection
// whose client stopped reading (or that is gone) makes the body's writes
// fail, and a body that checks its results ends early.
#pragma once

#include <cstddef>
#include <string>

#include "core/task/task.h"

constexpr int kStreamerStack = 20480;
constexpr int kStreamerWriteMs = 60000;
constexpr size_t kStreamerTextSize = 4096;

class HtmlStreamer : public Task {
public:
    using Body = void (*)(HtmlStreamer& out);

    // name: the task's name (a literal); argument: a text the body reads
    // (a path). When the pipe cannot be made both ends are -1.
    HtmlStreamer(const char* name, Body body, const std::string& argument = "");
    ~HtmlStreamer() override;

    void run() override;

    // 0 when every byte went into the pipe, else -1 (60 s without room, the
    // reader gone, a failed write).
    int write(const void* data, size_t length);
    int write(const std::string& text) { return write(text.data(), text.size()); }
    // Formats into a 4096-byte buffer (longer results are cut at 4095
    // characters) and writes it. The format is always the program's own.
    int printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

    const std::string& argument() const { return argument_; }
    int readEnd() const { return streamRead_; }
    size_t written() const { return written_; }

private:
    friend int startStreamer(HtmlStreamer* streamer, int stackSize);
    void closeWriteEnd();

    size_t written_ = 0;
    int streamRead_ = -1;
    int streamWrite_ = -1;
    Body body_;
    std::string argument_;
};

// Starts the streamer and returns the handler result that hands its pipe
// to the connection: (read end << 8) | kAnswerPipe. When the pipe was not
// made or the thread cannot start, the streamer and both ends are closed and
// the result is -1 (the connection answers 500): a connection never waits
// on a pipe that nobody writes.
int startStreamer(HtmlStreamer* streamer, int stackSize = kStreamerStack);
