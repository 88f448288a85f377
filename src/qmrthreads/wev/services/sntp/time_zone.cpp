#include "services/sntp/time_zone.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/params/param_handles.h"

namespace {

struct DaylightRule {
    const char* region;
    const char* rule;
};

// Rules as the zone list refers to them; some regions have changed their
// practice since, but stored settings name these rows.
const DaylightRule kDaylightRules[] = {
    {"New South Wales", "M10.5.0,M3.5.0"}, {"South Australia", "M10.5.0,M3.5.0"},
    {"Tasmania", "M10.1.0,M3.5.0"},        {"Victoria", "M10.5.0,M3.5.0"},
    {"Azer", "M3.5.0,M10.5.0"},            {"Bahamas", "M4.1.0,M10.5.0"},
    {"Brazil", "J309,J56"},                {"Canada", "M4.1.0,M10.5.0"},
    {"Chatham", "M10.1.0,M3.3.0"},         {"Chile", "M10.2.0,M3.2.0"},
    {"Cuba", "M4.1.0,M10.5.0"},            {"Egypt", "M4.5.5,M9.5.4"},
    {"EU", "M3.5.0,M10.5.0"},              {"Falklands", "M9.1.0,M4.3.0"},
    {"Guatemala", "J120,J274"},            {"Haiti", "M4.1.0,M10.5.0"},
    {"Honduras", "M5.1.0,M8.1.1"},         {"Iran", "J81,J265"},
    {"Iraq", "J91,J274"},                  {"Jordan", "M3.5.4,M10.5.5"},
    {"Lebanon", "M3.5.0,M10.5.0"},         {"Lord Howe Island", "M10.5.0,M3.5.0"},
    {"Mexico", "M4.1.0,M10.5.0"},          {"Mongolia", "M3.5.6,M9.5.6"},
    {"Namibia", "M9.1.0,M4.1.0"},          {"Nicaragua", "J120,M10.1.0"},
    {"New Zealand", "M10.1.0,M3.3.0"},     {"Palestine", "J91,M10.3.5"},
    {"Paraguay", "M10.3.0,M3.2.0"},        {"StJohns", "M3.2.0,M11.1.0"},
    {"Syria", "J91,J274"},                 {"TC", "M4.1.0,M10.5.0"},
    {"Thule", "M4.1.0,M10.5.0"},           {"Tunisia", "M3.5.0,M10.5.0"},
    {"Uruguay", "M10.1.0,M3.2.0"},         {"US", "M3.2.0,M11.1.0"},
    {"Zion", "M3.4.5,J259"},
};

std::mutex tzMutex;

// POSIX counts offsets west of Greenwich as positive: "UTC+1:00" is "-1",
// "UTC-3:30" is "3:30".
std::string posixOffset(const char* group)
{
    int hours = 0;
    int minutes = 0;
    char sign = '+';
    if (sscanf(group, "UTC%c%d:%d", &sign, &hours, &minutes) < 2 || (sign != '+' && sign != '-'))
        return "0";
    const char* west = sign == '+' && (hours || minutes) ? "-" : "";
    char text[16];
    if (minutes)
        snprintf(text, sizeof text, "%s%d:%02d", west, hours, minutes);
    else
        snprintf(text, sizeof text, "%s%d", west, hours);
    return text;
}

} // namespace

const char* daylightRuleOf(const char* region)
{
    for (const DaylightRule& r : kDaylightRules) {
        if (strcasecmp(r.region, region) == 0)
            return r.rule;
    }
    return nullptr;
}

std::string posixTimeZone(const char* token, const char* group)
{
    const char* blank = strchr(group, ' ');
    const char* rule = blank ? daylightRuleOf(blank + 1) : nullptr;

    std::string name(token, strcspn(token, " "));
    if (name.size() > 63)
        name.resize(63);
    std::string standard = name;
    std::string daylight;
    if (size_t slash = name.find('/'); slash != std::string::npos) {
        standard = name.substr(0, slash);
        daylight = name.substr(slash + 1);
    }
    std::string tz = standard + posixOffset(group);
    if (rule)
        tz += (daylight.empty() ? standard : daylight) + "," + rule;
    return tz;
}

std::string configuredTimeZone()
{
    P3List* zone = params::ntp_tzone();
    const int32_t row = zone->index();
    if (row == P3List::kNoRow)
        return "";
    const bool inside = row >= 0 && row < zone->rowCount();
    const char* group = inside && zone->rows()[row].extra ? zone->rows()[row].extra : "";
    return posixTimeZone(zone->currentToken(), group);
}

void applyTimeZone(const std::string& tz)
{
    std::lock_guard<std::mutex> hold(tzMutex);
    if (setenv("TZ", tz.c_str(), 1) != 0)
        fprintf(stderr, "setenv(TZ,%s): %m\n", tz.c_str());
    tzset();
}

void prepareTimeZoneVariable()
{
    std::lock_guard<std::mutex> hold(tzMutex);
    setenv("TZ", ":/etc/localtime", 0);
    tzset();
}
