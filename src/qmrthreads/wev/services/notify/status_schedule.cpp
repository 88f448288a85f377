#include "services/notify/status_schedule.h"

#include "core/params/param_handles.h"

namespace {

int weekdayOfToken(P3List* day)
{
    static const char* const kTokens[] = {"su", "mo", "tu", "we", "th", "fr", "sa", "al"};
    for (int i = 0; i < 8; ++i) {
        if (day && day->equalsToken(kTokens[i]))
            return i;
    }
    return 7;
}

} // namespace

void readStatusSchedule(StatusSchedule& schedule)
{
    schedule.minute = params::notistat_tm()->value() * 10;
    schedule.hour = params::notistat_h()->value();
    schedule.weekday = weekdayOfToken(params::notistat_d());
    schedule.stale = false;
}

bool statusReportDue(const StatusSchedule& schedule, const struct tm& now)
{
    if (now.tm_year + 1900 < 2010)
        return false;
    if (schedule.weekday != 7 && schedule.weekday != now.tm_wday)
        return false;
    return schedule.hour == now.tm_hour && now.tm_min >= schedule.minute && now.tm_min <= schedule.minute + 9;
}

bool checkStatusSchedule(StatusSchedule& schedule, const struct tm& now)
{
    if (schedule.stale) {
        readStatusSchedule(schedule);
        return false;
    }
    if (!statusReportDue(schedule, now))
        return false;
    schedule.stale = true;
    return true;
}
