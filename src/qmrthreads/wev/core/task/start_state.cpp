#include "core/task/start_state.h"

#include <atomic>

namespace {
std::atomic<int> startCount{-1};
std::atomic<int> shutdowns{0};
std::atomic<int> sigInts{0};
std::atomic<uint64_t> stopTick{0};
std::atomic<int> exitCodeValue{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from signal handlers");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "used from signal handlers");
} // namespace

int startCounter() { return startCount.load(); }
void setStartCounter(int value) { startCount.store(value); }
int shutdownRequests() { return shutdowns.load(); }
void requestStop() { shutdowns.fetch_add(1); }
int sigIntCount() { return sigInts.load(); }
void countSigInt() { sigInts.fetch_add(1); }
uint64_t shutdownTick() { return stopTick.load(); }
void setShutdownTick(uint64_t tick) { stopTick.store(tick); }
int exitCode() { return exitCodeValue.load(); }
void setExitCode(int code) { exitCodeValue.store(code); }

namespace {
std::atomic<int> httpPortValue{-1};
std::atomic<int> httpsPortValue{-1};
std::atomic<int> snmpPortValue{-1};
} // namespace

int httpPort() { return httpPortValue.load(); }
int httpsPort() { return httpsPortValue.load(); }
int snmpPort() { return snmpPortValue.load(); }
void setServicePorts(int http, int https, int snmp)
{
    httpPortValue.store(http);
    httpsPortValue.store(https);
    snmpPortValue.store(snmp);
}
