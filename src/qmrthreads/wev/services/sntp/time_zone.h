// The process's time zone from the time-zone list: a POSIX TZ string built
// from a zone's name ("CET/CEST (EU)") and its group text ("UTC+1:00 EU":
// the offset, and after a blank the region whose daylight-saving rule
// applies).
#pragma once

#include <string>

// The daylight-saving rule of a region word (case-insensitive), or null.
const char* daylightRuleOf(const char* region);

// "CET/CEST (EU)" with "UTC+1:00 EU" gives "CET-1CEST,M3.5.0,M10.5.0".
std::string posixTimeZone(const char* token, const char* group);

// The TZ string of the current row of `ntp_tzone`; empty when it has none.
std::string configuredTimeZone();

// Sets "TZ" and re-reads it (tzset). The variable is only ever overwritten,
// never removed, so the environment's table is not reallocated under
// threads reading it; prepareTimeZoneVariable creates it at start-up,
// before other threads run.
void applyTimeZone(const std::string& tz);
void prepareTimeZoneVariable();
