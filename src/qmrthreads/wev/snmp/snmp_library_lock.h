// The agent library is not thread-safe: the agent's thread holds this lock
// for everything it does in the library except its wait, and any other
// thread (the trap sender) takes it for its library calls.
#pragma once

#include <mutex>

std::mutex& snmpLibraryMutex();

// The library is initialised and has read its configuration (trap sinks
// open); set and cleared by the agent's thread under the lock.
bool snmpLibraryReady();
void setSnmpLibraryReady(bool ready);
