#include "core/log/syslog_client.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "core/util/byte_buffer.h"
#include "core/net/net_interface.h"
#include "core/params/param.h"
#include "core/params/param_change_effects.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "core/task/task.h"
#include "core/task/tick_clock.h"

namespace {

// Start and shut-down come from the start-up thread and from every thread
// that collects parameter changes (web, SNMP, mail); the one client and its
// pointer are only touched under this lock.
std::mutex clientMutex;
SysLog* client = nullptr;

// How long a line waits for another thread's line to go out.
constexpr int kLineLockWaitMs = 1000;

constexpr int kPriorityLevel1 = 133;  // local0.notice
constexpr int kPriorityOther = 141;   // local1.notice

pid_t threadId()
{
    return gettid();
}

timespec deadlineIn(int ms)
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

} // namespace

SysLog::SysLog(NetInterface* iface_) : Connection(nullptr, iface_, -1)
{
    pthread_mutex_init(&lineMutex_, nullptr);
    pthread_mutex_lock(&lineMutex_);
    holder_.store(threadId());
    line_[0] = '\0';
}

SysLog::~SysLog()
{
    // A client that never connected still holds its own line lock.
    if (holder_.load() == threadId())
        unlockLine();
    pthread_mutex_destroy(&lineMutex_);
}

void SysLog::unlockLine()
{
    holder_.store(0);
    pthread_mutex_unlock(&lineMutex_);
}

int SysLog::start()
{
    std::lock_guard<std::mutex> guard(clientMutex);
    if (client) {
        fprintf(stderr, "%s is %p alreday running?!\n", "start", static_cast<void*>(client));
        return 0;
    }
    if (!params::syslog()->isOn() || !params::syslog_ipa()->hasValue())
        return 0;

    SysLog* c = new SysLog(currentInterface());
    fprintf(stderr, "SysLog initial lock task:%s...\n", currentTaskName());
    client = c;
    fprintf(stderr, "SysLog::%s %p is running...\n", "start", static_cast<void*>(c));

    const std::string text = params::syslog_ipa()->text();
    SockAddr server;
    server.fromString(text.c_str());
    const int port = params::syslog_upo()->value();
    if (!c->connect(&server, port)) {
        fprintf(stderr, "Connecting SysLog %s:%d failed?!\n", text.c_str(), port);
        client = nullptr;
        delete c;
    }
    return 0;
}

int SysLog::shutdown()
{
    std::lock_guard<std::mutex> guard(clientMutex);
    if (!client)
        return 0;
    int result = client->stop();
    delete client;
    client = nullptr;
    return result;
}

bool SysLog::isRunning()
{
    std::lock_guard<std::mutex> guard(clientMutex);
    return client != nullptr;
}

int SysLog::connect(const SockAddr* server, int port_)
{
    bool ok = open(AF_INET, SOCK_DGRAM, 0) && setNonBlocking();
    setReuseAddr();
    peer = *server;
    if (ok && (peer.family() == AF_INET || peer.family() == AF_INET6)) {
        peer.in4.sin_port = htons(static_cast<uint16_t>(port_));
        ok = Connection::connect(0) != 0;
    } else {
        ok = false;
    }
    const char* address = server->text();
    if (!ok) {
        fprintf(stderr, "Connecting SysLog -> %s:%d fd:%d failed?!\n", address, port_, fd);
        close();
        return 0;
    }
    unlockLine();
    alive_.store(1);
    fprintf(stderr, "Connecting SysLog -> %s:%d fd:%d done\n", address, port_, fd);

    char greeting[kLineSize];
    snprintf(greeting, sizeof greeting, "I'm %s@%s alive...", productInfo().default_name,
             params::ip_addr()->text().c_str());
    write(1, "udp", 546, greeting);
    return 1;
}

int SysLog::lock()
{
    if (pthread_mutex_trylock(&lineMutex_) != 0) {
        const pid_t holder = holder_.load();
        if (holder == threadId()) {
            fprintf(stderr, "ERROR SysLog alive:%d recursive deadlock task:%s pid:%d!?\n", alive_.load(),
                    currentTaskName(), static_cast<int>(holder));
            return 0;
        }
        // Another thread's line is on its way out; a datagram send is short.
        timespec until = deadlineIn(kLineLockWaitMs);
        if (pthread_mutex_timedlock(&lineMutex_, &until) != 0)
            return 0;
    }
    holder_.store(threadId());
    return 1;
}

int SysLog::write(int level, const char* source, int line, const char* text)
{
    const time_t now = time(nullptr);
    const uint64_t ticks = boardTicks();
    if (!source)
        source = "";
    if (!text)
        text = "";
    if (!alive_.load() || !lock()) {
        fprintf(stderr, "SysLog::%s not alive:%d or locked by me, skip %s:%d\n", "write", alive_.load(), source,
                line);
        return 0;
    }

    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    if (strftime(stamp, sizeof stamp, "%h %e %T ", &local) == 0)
        stamp[0] = '\0';
    int taskId = currentTaskId();
    if (taskId < 0)
        taskId = 0;

    // A view over the fixed line: a longer text is cut, never grown.
    ByteBuffer view;
    view.memory = line_;
    view.cursor = line_;
    view.capacity = kLineSize;
    view.owned = 0;
    view.length = 0;
    view.appendf("<%d>", level == 1 ? kPriorityLevel1 : kPriorityOther);
    view.appendf("%s", stamp);
    view.appendf("%s %18s[%4d]:% 3d:%7u.%02u| %s", params::ip_addr()->text().c_str(), source, line, taskId,
                 static_cast<unsigned>(ticks / 100), static_cast<unsigned>(ticks % 100), text);
    // The terminator vsnprintf keeps is not part of the datagram.
    int length = view.length < kLineSize ? view.length : kLineSize - 1;
    int sent = sendAll(line_, length, false);
    view.release();
    if (sent > 0)
        linesSent_.fetch_add(1);

    unlockLine();
    return sent;
}

int SysLog::stop()
{
    fprintf(stderr, "%s syslog:%p alive:%d\n", "stop", static_cast<void*>(this), alive_.load());
    if (!alive_.load()) {
        fprintf(stderr, "%s syslog:%p not alive:?!\n", "stop", static_cast<void*>(this));
        return 0;
    }
    char last[kLineSize];
    snprintf(last, sizeof last, "I'm %s stopped", productInfo().default_name);
    write(1, "udp", 522, last);
    alive_.store(0);
    return 1;
}

namespace {

void syslogChanged(Param& p)
{
    fprintf(stderr, "%s syslogd:%d doRestart by %s\n", "resetModified", SysLog::isRunning() ? 1 : 0, p.name());
    SysLog::shutdown();
    SysLog::start();
}

} // namespace

void registerSysLogParamEffects()
{
    for (const char* name : {"syslog", "syslog_ipa", "syslog_upo"})
        registerParamEffect(name, false, syslogChanged);
}
