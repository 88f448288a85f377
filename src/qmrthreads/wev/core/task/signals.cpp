#include "core/task/signals.h"

#include "core/task/signal_line.h"
#include "core/task/start_state.h"
#include "core/task/task.h"
#include "core/task/tick_clock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

// The dump reads the interrupted stack as raw memory, the frames' guard
// zones of the address checker included.
__attribute__((no_sanitize("address"))) unsigned long long stackWord(const uint32_t* word)
{
    return *word;
}

const char* signalLabel(int sig)
{
    switch (sig) {
    case SIGTERM: return "sigTERM";
    case SIGINT: return "sigINT";
    case SIGUSR1: return "sigUSR1";
    case SIGUSR2: return "sigUSR2";
    case SIGPIPE: return "sigPIPE";
    case SIGFPE: return "sigFPE";
    case SIGBUS: return "sigBUS";
    default: return "sigXXX";
    }
}

void writeAll(int fd, const char* text, size_t len)
{
    while (len > 0) {
        ssize_t n = ::write(fd, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

void dumpf(const char* fmt, unsigned long long value)
{
    char line[64];
    int n = snprintf(line, sizeof line, fmt, value);
    if (n > 0)
        writeAll(STDOUT_FILENO, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

} // namespace

void onTermSignal(int sig)
{
    int savedErrno = errno;
    if (sig == SIGINT)
        countSigInt();
    if (sig == SIGINT || sig == SIGTERM) {
        setShutdownTick(monotonicTicksForSignal());
        requestStop();
    }
    SignalLine line;
    line.addSignalReport(signalLabel(sig), sig, currentTaskName(), shutdownRequests(), sigIntCount());
    line.write(STDERR_FILENO);
    errno = savedErrno;
}

void onFatalSignal(int sig, siginfo_t* info, void* context)
{
    char head[128];
    int n = snprintf(head, sizeof head, "Signal %d, errno %d, code %d, addr %08lx\n", sig,
                     info ? info->si_errno : 0, info ? info->si_code : 0,
                     info ? reinterpret_cast<unsigned long>(info->si_addr) : 0ul);
    if (n > 0)
        writeAll(STDOUT_FILENO, head, static_cast<size_t>(n));

    auto* uc = static_cast<ucontext_t*>(context);
    uintptr_t sp = 0;
    if (uc) {
#if defined(__x86_64__)
        const greg_t* r = uc->uc_mcontext.gregs;
        struct { const char* fmt; int reg; } regs[] = {
            {"trap_no   =%08llx\n", REG_TRAPNO}, {"error_code=%08llx\n", REG_ERR},
            {"rax       =%08llx\n", REG_RAX}, {"rbx       =%08llx\n", REG_RBX},
            {"rcx       =%08llx\n", REG_RCX}, {"rdx       =%08llx\n", REG_RDX},
            {"rsi       =%08llx\n", REG_RSI}, {"rdi       =%08llx\n", REG_RDI},
            {"r8        =%08llx\n", REG_R8}, {"r9        =%08llx\n", REG_R9},
            {"r10       =%08llx\n", REG_R10}, {"r11       =%08llx\n", REG_R11},
            {"r12       =%08llx\n", REG_R12}, {"r13       =%08llx\n", REG_R13},
            {"r14       =%08llx\n", REG_R14}, {"r15       =%08llx\n", REG_R15},
            {"rbp       =%08llx\n", REG_RBP}, {"rsp       =%08llx\n", REG_RSP},
            {"rip       =%08llx\n", REG_RIP}, {"eflags    =%08llx\n", REG_EFL},
            {"fault_addr=%08llx\n", REG_CR2},
        };
        for (const auto& reg : regs)
            dumpf(reg.fmt, static_cast<unsigned long long>(r[reg.reg]));
        sp = static_cast<uintptr_t>(r[REG_RSP]);
#elif defined(__arm__)
        const mcontext_t& m = uc->uc_mcontext;
        const unsigned long words[] = {m.trap_no, m.error_code, m.oldmask, m.arm_r0, m.arm_r1,
            m.arm_r2, m.arm_r3, m.arm_r4, m.arm_r5, m.arm_r6, m.arm_r7, m.arm_r8, m.arm_r9,
            m.arm_r10, m.arm_fp, m.arm_ip, m.arm_sp, m.arm_lr, m.arm_pc, m.arm_cpsr, m.fault_address};
        const char* labels[] = {"trap_no   =%08llx\n", "error_code=%08llx\n", "oldmask   =%08llx\n",
            "arm_r0    =%08llx\n", "arm_r1    =%08llx\n", "arm_r2    =%08llx\n", "arm_r3    =%08llx\n",
            "arm_r4    =%08llx\n", "arm_r5    =%08llx\n", "arm_r6    =%08llx\n", "arm_r7    =%08llx\n",
            "arm_r8    =%08llx\n", "arm_r9    =%08llx\n", "arm_r10   =%08llx\n", "arm_fp    =%08llx\n",
            "arm_ip    =%08llx\n", "arm_sp    =%08llx\n", "arm_lr    =%08llx\n", "arm_pc    =%08llx\n",
            "arm_cpsr  =%08llx\n", "fault_addr=%08llx\n"};
        for (int i = 0; i < 21; ++i)
            dumpf(labels[i], words[i]);
        sp = m.arm_sp;
#endif
    }

    writeAll(STDOUT_FILENO, "\nStack: \n", 9);
    if (sp) {
        // 128 words from the saved stack pointer, four to a line.
        const uint32_t* words = reinterpret_cast<const uint32_t*>(sp);
        for (int i = 0; i < 128; ++i) {
            if (i % 4 == 0)
                dumpf("\n%08llx: ", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(words + i)));
            dumpf("%08llx ", stackWord(words + i));
        }
    }
    writeAll(STDOUT_FILENO, "\n", 1);

    int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps >= 0) {
        char chunk[255];
        ssize_t got;
        while ((got = read(maps, chunk, sizeof chunk)) > 0)
            writeAll(STDOUT_FILENO, chunk, static_cast<size_t>(got));
        close(maps);
    }
    // The process is in an unknown state: no atexit handlers, no destructors.
    _exit(0);
}

int installSignalHandlers()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sa.sa_sigaction = onFatalSignal;
    const struct { int sig; const char* name; } fatal[] = {
        {SIGSEGV, "SIGSEGV"}, {SIGILL, "SIGILL"}, {SIGABRT, "SIGABRT"}, {SIGFPE, "SIGFPE"},
        {SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"}, {SIGSYS, "SIGSYS"}, {SIGXCPU, "SIGXCPU"},
        {SIGIOT, "SIGIOT"}, {SIGXFSZ, "SIGXFSZ"},
    };
    char what[48];
    for (const auto& f : fatal) {
        if (sigaction(f.sig, &sa, nullptr) != 0) {
            snprintf(what, sizeof what, "%s fail to install", f.name);
            perror(what);
            return -1;
        }
    }
    sa.sa_flags = SA_RESTART;
    sa.sa_handler = onTermSignal;
    if (sigaction(SIGTERM, &sa, nullptr) != 0) {
        perror("SIGTERM fail to install");
        return -1;
    }
    return 0;
}

int installStopSignalHandlers()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sa.sa_handler = onTermSignal;
    int rc = 0;
    for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGPIPE}) {
        if (sigaction(sig, &sa, nullptr) != 0) {
            fprintf(stderr, "install signal %d handler failed: %s\n", sig, strerror(errno));
            rc = -1;
        }
    }
    return rc;
}
