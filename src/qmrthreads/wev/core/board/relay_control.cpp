#include "core/board/relay_control.h"

#include "core/board/board_device.h"
#include "core/i18n/translatable.h"
#include "core/params/param_handles.h"
#include "core/product/model_features.h"
#include "core/task/tick_clock.h"

#include <atomic>
#include <ctime>
#include <mutex>

namespace {

const RelayEventRow kRows[kRelayEventRows] = {
    {RELAY_RESTART, translatable("Restart")},
    {RELAY_NETWORK_OFF, translatable("Network connection interrupted")},
    {RELAY_NETWORK_ON, translatable("Network connection established")},
    {RELAY_SUPPLY1_ESTABLISHED, translatable("Power supply 1 established")},
    {RELAY_SUPPLY2_ESTABLISHED, translatable("Power supply 2 established")},
    {RELAY_SUPPLY1_INTERRUPTED, translatable("Power supply 1 interrupted")},
    {RELAY_SUPPLY2_INTERRUPTED, translatable("Power supply 2 interrupted")},
    {RELAY_SD_CONNECTED, translatable("SD card connected")},
    {RELAY_SD_DISCONNECTED, translatable("SD card disconnected")},
    {RELAY_SD_UNUSABLE, translatable("SD card cannot be used")},
    {RELAY_USB1_ATTACHED, translatable("USB device connected (port 1)")},
    {RELAY_USB1_DETACHED, translatable("USB device disconnected (port 1)")},
    {RELAY_USB1_ACTIVATED, translatable("USB device activated (port 1)")},
    {RELAY_USB1_DEACTIVATED, translatable("USB device deactivated (port 1)")},
    {RELAY_USB2_ATTACHED, translatable("USB device connected (port 2)")},
    {RELAY_USB2_DETACHED, translatable("USB device disconnected (port 2)")},
    {RELAY_USB2_ACTIVATED, translatable("USB device activated (port 2)")},
    {RELAY_USB2_DEACTIVATED, translatable("USB device deactivated (port 2)")},
};

std::atomic<uint32_t> eventTimes[kRelayEventRows];
std::mutex relayMutex;
// What the events asked the relay to be (relayMutex). A board that has not
// finished its start-up ignores the switch; it applies this at its end.
bool relayRequested = false;

int rowOf(uint32_t code)
{
    for (int i = 0; i < kRelayEventRows; ++i) {
        if (kRows[i].code == code)
            return i;
    }
    return -1;
}

bool names(P3List* selector, const char* token)
{
    return selector && selector->equalsToken(token);
}

// "any" or the port's own token.
bool namesPort(P3List* selector, bool firstPort)
{
    return names(selector, "any") || names(selector, firstPort ? "1" : "2");
}

// The selector of a USB code: 0 attach, 1 detach, 2 activate, 3 deactivate.
int usbKind(uint32_t code)
{
    uint32_t low = code >= RELAY_USB2_ATTACHED ? code >> 4 : code;
    switch (low) {
    case RELAY_USB1_ATTACHED: return 0;
    case RELAY_USB1_DETACHED: return 1;
    case RELAY_USB1_ACTIVATED: return 2;
    case RELAY_USB1_DEACTIVATED: return 3;
    default: return -1;
    }
}

P3List* usbEventSelector(int kind)
{
    P3List* selectors[] = {params::relay_eve_ucon(), params::relay_eve_udis(), params::relay_eve_uact(),
                           params::relay_eve_udea()};
    return selectors[kind];
}

P3List* usbStateSelector(int kind)
{
    P3List* selectors[] = {params::relay_stat_ucon(), params::relay_stat_udis(), params::relay_stat_uact(),
                           params::relay_stat_udea()};
    return selectors[kind];
}

bool eventModeOn(uint32_t code)
{
    switch (code) {
    case RELAY_RESTART: return names(params::relay_eve_start(), "warm");
    case RELAY_NETWORK_OFF: return names(params::relay_eve_net(), "netoff");
    case RELAY_NETWORK_ON: return names(params::relay_eve_net(), "neton");
    case RELAY_SUPPLY1_ESTABLISHED: return names(params::relay_eve_1pwr(), "pwron");
    case RELAY_SUPPLY2_ESTABLISHED: return names(params::relay_eve_2pwr(), "pwron");
    case RELAY_SUPPLY1_INTERRUPTED: return names(params::relay_eve_1pwr(), "pwroff");
    case RELAY_SUPPLY2_INTERRUPTED: return names(params::relay_eve_2pwr(), "pwroff");
    case RELAY_SD_CONNECTED: return names(params::relay_eve_sd(), "sdin");
    case RELAY_SD_DISCONNECTED: return names(params::relay_eve_sd(), "sdout");
    case RELAY_SD_UNUSABLE: return names(params::relay_eve_sd(), "sderr");
    default: break;
    }
    int kind = usbKind(code);
    return kind >= 0 && namesPort(usbEventSelector(kind), code < RELAY_USB2_ATTACHED);
}

struct StateDecision {
    bool on = false;
    bool off = false;
    uint32_t opposite = 0;
};

StateDecision stateModeDecision(uint32_t code)
{
    StateDecision d;
    if (code == RELAY_NETWORK_OFF || code == RELAY_NETWORK_ON) {
        const bool down = code == RELAY_NETWORK_OFF;
        d.opposite = down ? RELAY_NETWORK_ON : RELAY_NETWORK_OFF;
        d.on = names(params::relay_stat_net(), down ? "netoff" : "neton");
        d.off = names(params::relay_stat_net(), down ? "neton" : "netoff");
        return d;
    }
    int kind = usbKind(code);
    if (kind < 0)
        return d;
    // Attach pairs with detach, activate with deactivate.
    const int oppositeKind = kind ^ 1;
    const bool firstPort = code < RELAY_USB2_ATTACHED;
    d.opposite = (kind & 1) ? code >> 1 : code << 1;
    d.on = namesPort(usbStateSelector(kind), firstPort);
    d.off = namesPort(usbStateSelector(oppositeKind), firstPort);
    return d;
}

uint32_t eventStamp()
{
    time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) && local.tm_year + 1900 > 2015)
        return static_cast<uint32_t>(now);
    return static_cast<uint32_t>(boardTicks() / 100);
}

} // namespace

int handleRelayEvent(uint32_t code)
{
    if (!(params::sw_features()->value() & kFeatureRelay))
        return 0;
    std::lock_guard<std::mutex> lock(relayMutex);
    if (names(params::relay_ctrl(), "fix"))
        return 0;
    uint32_t bits = static_cast<uint32_t>(params::relay_eves()->value());
    bool on = false;
    bool off = false;
    if (names(params::relay_ctrl(), "stat")) {
        StateDecision d = stateModeDecision(code);
        bits &= ~d.opposite;
        on = d.on;
        off = d.off;
    } else {
        on = eventModeOn(code);
    }
    if (!on && !off)
        return static_cast<int>(params::relay_eves()->value());
    if (bits & code)
        return static_cast<int>(bits);
    relayRequested = on;
    boardDevice().setRelay(on ? 1 : 0);
    bits |= code;
    params::relay_eves()->setValue(static_cast<int32_t>(bits));
    if (int row = rowOf(code); row >= 0)
        eventTimes[row].store(eventStamp());
    return static_cast<int>(bits);
}

void clearRelayEvents()
{
    std::lock_guard<std::mutex> lock(relayMutex);
    params::relay_eves()->setValue(0);
    relayRequested = false;
    boardDevice().setRelay(0);
}

uint32_t relayUsbCode(uint32_t base, int port)
{
    return port == 1 ? base : base << 4;
}

void handleRelaySupplyChange(uint32_t previousBits, uint32_t bits)
{
    const struct { uint32_t mask; uint32_t established; uint32_t interrupted; } inputs[] = {
        {0x1, RELAY_SUPPLY1_ESTABLISHED, RELAY_SUPPLY1_INTERRUPTED},
        {0x2, RELAY_SUPPLY2_ESTABLISHED, RELAY_SUPPLY2_INTERRUPTED},
    };
    for (const auto& in : inputs) {
        if ((previousBits ^ bits) & in.mask)
            handleRelayEvent((bits & in.mask) ? in.established : in.interrupted);
    }
}

const RelayEventRow& relayEventRow(int index)
{
    return kRows[index < 0 || index >= kRelayEventRows ? 0 : index];
}

uint32_t relayEventTime(uint32_t code)
{
    int row = rowOf(code);
    return row < 0 ? 0 : eventTimes[row].load();
}

void applyRequestedRelay(BoardDevice& board)
{
    std::lock_guard<std::mutex> lock(relayMutex);
    board.setRelay(relayRequested ? 1 : 0);
}
