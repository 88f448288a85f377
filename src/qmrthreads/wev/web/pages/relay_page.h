// The relay page: the events that closed the relay, oldest first, with the
// time each last fired, the relay's state, and "clear", which forgets the
// events and opens the relay.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class HttpConnection;
class TemplateVars;

struct RelayEventShown {
    uint32_t code;
    const char* text;  // untranslated
    uint32_t time;     // as the relay control recorded it
};

// The known events whose bits are set in bits, from bit 0 upwards, then
// ordered by the time they last fired, oldest first (equal times keep that
// order). timeOf gives an event's time.
std::vector<RelayEventShown> relayEventsShown(uint32_t bits, uint32_t (*timeOf)(uint32_t code));

// "YYYY-MM-DD hh:mm:ss\n" of a recorded time. A time recorded before the
// clock was set counts seconds since start: it is shown as elapsed years,
// months, days and hours ("0000-00-01 02:00:00" after 26 hours), the same in
// every time zone.
std::string relayTimeText(uint32_t time);

// "Eves_j", "EveT_j", "Eves#", "RelayState", "RelayStatOrEve" in lang.
void setRelayVars(TemplateVars& vars, const std::string& lang, const std::vector<RelayEventShown>& events);

int relayPage(HttpConnection& connection);
