// When the status report mail is due: a weekday (or every day), an hour and
// a ten-minute window. The notification task asks about every 6 minutes,
// so the window is met once or twice a day; the first hit sends the report
// and marks the schedule stale, and the next question only reads the
// parameters again, which gives one report per matching day.
#pragma once

#include <ctime>

struct StatusSchedule {
    int minute = 0;   // start of the ten-minute window
    int hour = 0;
    int weekday = 7;  // 0 Sunday .. 6 Saturday, 7 every day
    bool stale = true;
};

// Reads `notistat_tm`, `notistat_h` and `notistat_d`; the schedule is then
// no longer stale.
void readStatusSchedule(StatusSchedule& schedule);

// Whether now (local time) lies in the schedule's window. Never before the
// year 2010: a clock that was not set yet says nothing about the day.
bool statusReportDue(const StatusSchedule& schedule, const struct tm& now);

// One question of the task: a stale schedule is read again and nothing is
// due; else true when the report is due, and the schedule turns stale.
bool checkStatusSchedule(StatusSchedule& schedule, const struct tm& now);
