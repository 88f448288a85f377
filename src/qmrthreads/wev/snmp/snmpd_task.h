// The SNMP agent: the task "NET-SNMPD", whose thread runs the agent library's
// loop over the generated "/var/snmpd.conf", with the task's message pipe in
// the same wait (stop, and re-configuration after a network change). Its UDP
// sockets are bound to the management interface; sysUpTime is the program's
// tick clock.
#pragma once

#include "core/task/task.h"

class SnmpdTask : public Task {
public:
    SnmpdTask();
    void run() override;
    // A network change rewrites the configuration file; the loop re-reads it.
    uint32_t onMessage(TaskMessage* msg) override;
};

// Writes the configuration and starts the agent when SNMPv1 or SNMPv3 is on.
// Returns the task id, -1 when no agent runs.
int startSnmpAgent();

// Whether the configuration written at start-up has a trap sink (the
// notification task sends no traps without one).
bool snmpTrapSinkConfigured();
