// The agent's configuration file "/var/snmpd.conf", written from the
// parameters before the agent starts and again after every network change:
// listening address, SNMPv3 users, SNMPv1/v2c communities, trap sinks and
// the system group. Writing it also restarts the per-sink trap counters.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

// "/var/snmpd.conf" under the root prefix.
std::string snmpdConfPath();

// Writes the file at path (mode 0600 from its creation on). Returns 1, or 0
// when it cannot be opened (then the flag and the counters keep their
// values). *trapSinkWritten becomes true when a trap sink was written; it is
// never cleared here.
int writeSnmpdConf(const char* path, bool* trapSinkWritten);

// The configuration text itself, into out; sets *sinks to which of the two
// trap sinks it holds (bit 0: sink 1, bit 1: sink 2).
void printSnmpdConf(FILE* out, unsigned* sinks);

// Traps sent to sink 1 or 2 since the file was last written; -1 when that
// file had no such sink.
int trapSinkTrapCount(int sink);
// Adds n to the counter of every sink the file has.
void countTrapsSent(int n);
