// The relay output of the models that have one. In event mode ("eve") an
// event its selector names switches the relay on and it stays on; in state
// mode ("stat") the relay follows the last change of the watched quantity.
// Every event source of the box passes its code here; "fix" mode belongs to
// the parameter side effects and the board start-up.
#pragma once

#include <cstdint>

enum RelayEventCode : uint32_t {
    RELAY_RESTART = 0x1,
    RELAY_NETWORK_OFF = 0x2,
    RELAY_NETWORK_ON = 0x4,
    RELAY_SUPPLY1_ESTABLISHED = 0x10,
    RELAY_SUPPLY2_ESTABLISHED = 0x20,
    RELAY_SUPPLY1_INTERRUPTED = 0x40,
    RELAY_SUPPLY2_INTERRUPTED = 0x80,
    RELAY_SD_CONNECTED = 0x100,
    RELAY_SD_DISCONNECTED = 0x200,
    RELAY_SD_UNUSABLE = 0x400,
    RELAY_USB1_ATTACHED = 0x1000,
    RELAY_USB1_DETACHED = 0x2000,
    RELAY_USB1_ACTIVATED = 0x4000,
    RELAY_USB1_DEACTIVATED = 0x8000,
    RELAY_USB2_ATTACHED = 0x10000,
    RELAY_USB2_DETACHED = 0x20000,
    RELAY_USB2_ACTIVATED = 0x40000,
    RELAY_USB2_DEACTIVATED = 0x80000,
};

// Decides, switches the relay and records the code in `relay_eves`, all
// under one lock, so callers on different threads cannot leave the relay
// and the recorded bits disagreeing. Returns `relay_eves` after the call
// (0 on a model without relay or in "fix" mode). Any thread.
int handleRelayEvent(uint32_t code);

// Forgets the recorded events and opens the relay, under the same lock as
// handleRelayEvent, so an event that fires meanwhile is either cleared with
// the rest or recorded afterwards with the relay closed again. Any thread.
void clearRelayEvents();

// The board's start-up, in event and state mode: switches the relay as the
// events so far asked for (off when none did). Events that came before the
// board could switch are not lost.
class BoardDevice;
void applyRequestedRelay(BoardDevice& board);

// The USB codes of a physical port: port 1 has its own, every other port
// shares the second port's. base is one of the RELAY_USB1_* codes.
uint32_t relayUsbCode(uint32_t base, int port);

// The supply inputs changed: bit 0 input 1 present, bit 1 input 2 present.
// Passes one code per input that changed, "established" for a present one.
void handleRelaySupplyChange(uint32_t previousBits, uint32_t bits);

struct RelayEventRow {
    uint32_t code;
    const char* text;
};
// The 18 known events in the order the relay page lists them.
constexpr int kRelayEventRows = 18;
const RelayEventRow& relayEventRow(int index);
// When the event last fired: seconds since the epoch once the clock shows a
// year after 2015, else seconds since start; 0 when it never fired.
uint32_t relayEventTime(uint32_t code);
