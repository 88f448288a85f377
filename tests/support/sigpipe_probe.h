// Whether code run on the calling thread raised SIGPIPE: the signal is
// blocked while it runs, and a pending one is taken and reported.
#pragma once

#include <signal.h>
#include <time.h>

#include <functional>

inline bool raisesSigpipe(const std::function<void()>& work)
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &pipe, &before);
    work();
    sigset_t pending;
    sigpending(&pending);
    const bool raised = sigismember(&pending, SIGPIPE) == 1;
    if (raised) {
        timespec none{0, 0};
        sigtimedwait(&pipe, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return raised;
}
