#include "snmp/snmp_traps.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <cstring>

#include "core/params/param_handles.h"
#include "core/task/start_state.h"
#include "snmp/snmp_library_lock.h"
#include "snmp/snmpd_conf.h"

namespace {

constexpr int kEnterpriseSpecific = 6;
constexpr int kEventTrapNumber = 51;
constexpr uint32_t kNoDeviceTextBits = 0xFE00000;

struct EventText {
    uint32_t flags;
    int code;
    const char* text;
};

constexpr EventText kEventTexts[] = {
    {NOTIFY_CLIENT_CONNECTED, 5, "device connected: "},
    {NOTIFY_CLIENT_DISCONNECTED, 6, "device disconnected"},
    {NOTIFY_DEVICE_ATTACHED, 3, "device attached"},
    {NOTIFY_DEVICE_DETACHED, 4, "device detached"},
    {NOTIFY_SUPPLY_CHANGED, 11, "power supply event"},
    {NOTIFY_CARD_MOUNTED, 12, " SDCard is plugged in"},
    {NOTIFY_CARD_REMOVED, 13, " SDCard is plugged out"},
    {NOTIFY_CARD_MISSING, 14, " SDCard is missing"},
    {NOTIFY_CARD_UNUSABLE, 15, " SDCard is unusable"},
    {NOTIFY_CARD_WRITE_PROTECTED, 16, " SDCard is write protected"},
    {NOTIFY_LINK_CHANGED, 17, "network link event"},
};
constexpr EventText kUnknownEvent = {0, 1, "device unknown event"};

const EventText& eventText(uint32_t flags)
{
    for (const EventText& e : kEventTexts) {
        if (e.flags == flags)
            return e;
    }
    return kUnknownEvent;
}

struct SwitchBits {
    BoolParam* (*trapSwitch)();
    uint32_t bits;
};

const SwitchBits kSwitches[] = {
    {params::trapdev, NOTIFY_DEVICE_ATTACHED | NOTIFY_DEVICE_DETACHED},
    {params::trapact, NOTIFY_CLIENT_CONNECTED | NOTIFY_CLIENT_DISCONNECTED},
    {params::trap_pwr, NOTIFY_SUPPLY_CHANGED},
    {params::trap_lnk, NOTIFY_LINK_CHANGED},
    {params::trap_sdinout, NOTIFY_CARD_MOUNTED | NOTIFY_CARD_REMOVED},
    {params::trap_sdunusable, NOTIFY_CARD_MISSING | NOTIFY_CARD_UNUSABLE | NOTIFY_CARD_WRITE_PROTECTED},
};

void addVarbind(netsnmp_variable_list** vars, unsigned n, u_char type, const void* value, size_t length)
{
    oid name[] = {1, 3, 6, 1, 4, 1, 32473, 2, 51, n};
    snmp_varlist_add_variable(vars, name, sizeof(name) / sizeof(name[0]), type, value, length);
}

void addText(netsnmp_variable_list** vars, unsigned n, const char* text, size_t size)
{
    addVarbind(vars, n, ASN_OCTET_STR, text, strnlen(text, size));
}

void sendEventTrap(const NotifyEvent& event)
{
    const long code = eventTrapCode(event.flags);
    const long port = event.port;
    const std::string text = eventTrapText(event);
    std::lock_guard<std::mutex> lock(snmpLibraryMutex());
    if (!snmpLibraryReady())
        return;
    netsnmp_variable_list* vars = nullptr;
    addVarbind(&vars, 1, ASN_INTEGER, &code, sizeof(code));
    addVarbind(&vars, 2, ASN_INTEGER, &port, sizeof(port));
    addVarbind(&vars, 3, ASN_OCTET_STR, text.data(), text.size());
    if (eventTrapHasDeviceTexts(event.flags)) {
        addText(&vars, 4, event.manufacturer, sizeof(event.manufacturer));
        addText(&vars, 6, event.product, sizeof(event.product));
        addText(&vars, 8, event.serial, sizeof(event.serial));
    }
    send_trap_vars(kEnterpriseSpecific, kEventTrapNumber, vars);
    snmp_free_varbind(vars);
    countTrapsSent(1);
}

void sendRestartTrap()
{
    if (!params::trappup()->isOn())
        return;
    const int generic = startCounter() > 0 ? SNMP_TRAP_WARMSTART : SNMP_TRAP_COLDSTART;
    std::lock_guard<std::mutex> lock(snmpLibraryMutex());
    if (!snmpLibraryReady())
        return;
    send_easy_trap(generic, params::life()->value());
    countTrapsSent(1);
}

const TrapOps kTrapOps = {trapSwitchesAllow, sendEventTrap, sendRestartTrap};

} // namespace

bool trapSwitchesAllow(uint32_t eventFlags)
{
    uint32_t refused = 0;
    for (const SwitchBits& s : kSwitches) {
        if (!s.trapSwitch()->isOn())
            refused |= s.bits;
    }
    return (eventFlags & ~refused) != 0;
}

int eventTrapCode(uint32_t eventFlags)
{
    return eventText(eventFlags).code;
}

std::string eventTrapText(const NotifyEvent& event)
{
    std::string text = eventText(event.flags).text;
    if (event.flags == NOTIFY_CLIENT_CONNECTED)
        text.append(event.client, strnlen(event.client, sizeof(event.client)));
    return text;
}

bool eventTrapHasDeviceTexts(uint32_t eventFlags)
{
    return (eventFlags & kNoDeviceTextBits) == 0;
}

void registerSnmpTrapOps()
{
    setTrapOps(&kTrapOps);
}
