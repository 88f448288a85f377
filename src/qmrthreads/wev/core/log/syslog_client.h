// SysLog: the remote syslog client. When `syslog` is on and `syslog_ipa`
// names a server, the box announces itself there over UDP (port
// `syslog_upo`): one line when the client connects, one when it stops. The
// start-up code starts it after the network set-up and shuts it down at the
// end; a change of one of the three parameters shuts it down and starts it
// again.
//
// Line format, one datagram per line, at most 1024 bytes:
//   "<133>" (level 1, local0.notice) or "<141>" (local1.notice), the local
//   time "Mmm dd hh:mm:ss ", then the box's address, the source name in 18
//   columns, "[line]", the task id, seconds and hundredths since start, and
//   the text after "| ".
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "core/net/connection.h"

class NetInterface;

class SysLog : public Connection {
public:
    static constexpr int kLineSize = 1024;

    // Creates and connects the one client when the parameters ask for it.
    // A client that exists already is reported and left alone. Always 0.
    static int start();
    // Stops the running client (its last line goes out) and frees it; the
    // result of its stop, 0 when none was running.
    static int shutdown();
    static bool isRunning();

    // A client for the interface, not yet connected: its line lock is held
    // by the creating thread until connect succeeds.
    explicit SysLog(NetInterface* iface);
    ~SysLog() override;

    // 1 when connected and the first line was sent, else 0.
    int connect(const SockAddr* server, int port);
    // Bytes sent, or 0 when the line was skipped (not alive, or a line of
    // this thread is being written).
    int write(int level, const char* source, int line, const char* text);
    // 1 when the client was alive (the last line was sent), else 0.
    int stop();
    // 1 with the line lock held, 0 on recursion or when it stays busy.
    int lock();

    bool alive() const { return alive_.load() != 0; }
    int linesSent() const { return linesSent_.load(); }

private:
    void unlockLine();

    pthread_mutex_t lineMutex_;
    char line_[kLineSize];
    std::atomic<int> linesSent_{0};
    std::atomic<uint8_t> alive_{0};
    std::atomic<pid_t> holder_{0};  // thread that holds the line lock; 0 none
};

// A change of `syslog`, `syslog_ipa` or `syslog_upo` restarts the client:
// registers that with the parameter store (start-up calls it once).
void registerSysLogParamEffects();
