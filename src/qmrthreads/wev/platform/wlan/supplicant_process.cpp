#include "platform/wlan/supplicant_process.h"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

namespace {

// The running child, 0 when none: the stop path reads it from another thread.
std::atomic<pid_t> runningChild{0};

int openPidFd(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Signals through the pidfd reach the child itself, never a process that
// took over its number after it was collected.
void signalPidFd(int fd, int sig)
{
    syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0);
}

bool pidFdEnded(int fd)
{
    constexpr idtype_t kByPidFd = static_cast<idtype_t>(3); // P_PIDFD
    siginfo_t info{};
    return waitid(kByPidFd, static_cast<id_t>(fd), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
}

// Between fork and exec only async-signal-safe calls: the program has threads.
[[noreturn]] void execInChild(const char* const* argv, pid_t parent)
{
    // The child ends with the thread that started it, also when the program
    // is killed without a chance to stop it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGUSR1, SIGUSR2})
        signal(sig, SIG_DFL);
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
}

void pauseMs(long ms)
{
    const timespec pause{ms / 1000, (ms % 1000) * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

} // namespace

void supplicantArguments(const SupplicantLaunch& launch, const char** argv)
{
    int n = 0;
    argv[n++] = kSupplicantProgram;
    argv[n++] = "-i";
    argv[n++] = launch.interfaceName;
    argv[n++] = "-D";
    argv[n++] = launch.driver;
    argv[n++] = "-C";
    argv[n++] = launch.controlDir;
    argv[n++] = "-g";
    argv[n++] = launch.globalControl;
    // The box's debug output went to the kernel's log ring, which wraps; a
    // file does not, so it gets the supplicant's normal messages only.
    argv[n++] = "-t";
    argv[n++] = "-f";
    argv[n++] = launch.logFile;
    argv[n] = nullptr;
}

pid_t startSupplicantProgram(const SupplicantLaunch& launch, int* exitFd)
{
    const char* argv[16];
    supplicantArguments(launch, argv);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
        execInChild(argv, parent);
    int fd = openPidFd(pid);
    if (fd < 0) {
        int saved = errno;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        errno = saved;
        return -1;
    }
    runningChild.store(pid);
    *exitFd = fd;
    return pid;
}

int reapSupplicantProgram(pid_t pid)
{
    int status = 0;
    pid_t got;
    do {
        got = waitpid(pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    pid_t expected = pid;
    runningChild.compare_exchange_strong(expected, 0);
    if (got != pid)
        return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

void stopSupplicantProgram(int waitMs)
{
    pid_t pid = runningChild.load();
    if (pid <= 0)
        return;
    int fd = openPidFd(pid);
    if (fd < 0)
        return;
    signalPidFd(fd, SIGTERM);
    // The task that started the child collects it; here we only wait until
    // it has ended, so that the interface is free when the stop goes on.
    for (int waited = 0; waited < waitMs && !pidFdEnded(fd); waited += 10)
        pauseMs(10);
    if (!pidFdEnded(fd))
        signalPidFd(fd, SIGKILL);
    close(fd);
}
