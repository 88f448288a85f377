// The agent's traps: one enterprise-specific SNMPv1 trap per notification
// event and the start-up trap, sent through the library to the trap sinks of
// "/var/snmpd.conf". The notification task calls them through TrapOps.
#pragma once

#include <cstdint>
#include <string>

#include "core/notify/notify_event.h"

// Registers the trap operations with the notification seam.
void registerSnmpTrapOps();

// The trap switches let an event of these bits through.
bool trapSwitchesAllow(uint32_t eventFlags);

// Code and text of an event's trap (varbinds .1 and .3).
int eventTrapCode(uint32_t eventFlags);
std::string eventTrapText(const NotifyEvent& event);
// The event's trap carries the device texts (varbinds .4, .6 and .8).
bool eventTrapHasDeviceTexts(uint32_t eventFlags);
