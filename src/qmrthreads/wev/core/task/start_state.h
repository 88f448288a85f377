// Process-wide start and stop state: the start counter from "KickOff", the stop
// requests, the exit code. Written from signal handlers and other threads, so
// every value is a lock-free atomic.
#pragma once

#include <cstdint>

// "KickOff" as given at start (-1 when the variable was unset).
int startCounter();
void setStartCounter(int value);

// Stop requests so far; any value above 0 makes the supervision loop start
// the "ShutDown" task once.
int shutdownRequests();
void requestStop();

// SIGINT signals so far.
int sigIntCount();
void countSigInt();

// Ticks of the monotonic clock at the latest SIGTERM/SIGINT; 0 = none.
uint64_t shutdownTick();
void setShutdownTick(uint64_t tick);

// Exit code the program returns: 0 ordinary, 1 software package installed,
// 2 cold restart or firmware image installed.
int exitCode();
void setExitCode(int code);

// Listener ports of the web server and the SNMP agent: -1 until start-up
// fills in the defaults 80, 443 and 161.
int httpPort();
int httpsPort();
int snmpPort();
void setServicePorts(int http, int https, int snmp);
