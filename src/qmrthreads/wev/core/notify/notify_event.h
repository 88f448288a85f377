// Events of the box for the notification task (mails and traps), and the two
// seams around it. The "Notify" task lives above core: when it runs it
// registers its intake here, so that producers in core and in the USB server
// hand over events without knowing it. The agent that sends traps registers
// its trap operations here in the same way, and the task calls them.
#pragma once

#include <cstdint>

// Exactly one of these is stored per ring record.
enum NotifyEventFlags : uint32_t {
    NOTIFY_CLIENT_CONNECTED = 0x100,
    NOTIFY_CLIENT_DISCONNECTED = 0x200,
    NOTIFY_DEVICE_ATTACHED = 0x400,
    NOTIFY_DEVICE_DETACHED = 0x800,
    NOTIFY_SUPPLY_CHANGED = 0x200000,
    NOTIFY_CARD_MOUNTED = 0x400000,
    NOTIFY_CARD_REMOVED = 0x800000,
    NOTIFY_CARD_MISSING = 0x1000000,
    NOTIFY_CARD_UNUSABLE = 0x2000000,
    NOTIFY_CARD_WRITE_PROTECTED = 0x4000000,
    NOTIFY_LINK_CHANGED = 0x8000000,
};

// Passed by the task itself to the mail texts and the trap pass; never stored.
constexpr uint32_t NOTIFY_STATUS_REPORT = 0x1000;
constexpr uint32_t NOTIFY_RESTART = 0x2000;

// One record of the notification ring. USB events: port is the physical port
// and the texts are the device's, client the owner text. Link events: port is
// the link mask; supply events: the two input bits; card events: port 0 and
// the medium's vendor, product and volume label.
struct NotifyEvent {
    uint32_t flags = 0;
    int32_t port = -1;
    char manufacturer[129] = {};
    char product[129] = {};
    char serial[33] = {};
    char client[33] = {};
};

// Fills every field; a null text leaves its field empty and a longer one is
// cut to what the field holds.
void fillNotifyEvent(NotifyEvent& event, uint32_t flags, int port, const char* manufacturer,
                     const char* product, const char* serial, const char* client);

// The notification task's intake: stores one event, 1 stored, 0 not (no task
// that wants events).
using NotifyEventIntake = int (*)(uint32_t flags, int port, const char* manufacturer,
                                  const char* product, const char* serial, const char* client);
void setNotifyEventIntake(NotifyEventIntake intake);

// Stores an event through the registered intake (0 when none is registered).
// A producer that got 1 wakes the task with postNotifyMessage.
int postNotifyEvent(uint32_t flags, int port, const char* manufacturer, const char* product,
                    const char* serial, const char* client);

// The task id of the running "Notify" task, -1 when there is none.
void setNotifyTaskId(int taskId);
int notifyTaskId();

// Posts MSG_NOTIFY_EVENT with the flags to the "Notify" task: 1 posted, 0 when
// no such task runs.
int postNotifyMessage(uint32_t flags);

// What the SNMP agent offers the trap pass. The agent registers it when it is
// built; without it the notification task sends no traps.
struct TrapOps {
    // The trap switches let events of this kind through.
    bool (*allows)(uint32_t eventFlags);
    // Sends the enterprise trap of one event to every configured sink.
    void (*sendEventTrap)(const NotifyEvent& event);
    // Sends the start-up trap to every configured sink.
    void (*sendRestartTrap)();
};
void setTrapOps(const TrapOps* ops);
const TrapOps* trapOps();
