#include "services/notify/status_schedule.h"

#include "support/param_override.h"

#include <gtest/gtest.h>

namespace {

struct tm at(int year, int wday, int hour, int minute)
{
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_wday = wday;
    t.tm_hour = hour;
    t.tm_min = minute;
    return t;
}

TEST(StatusSchedule, WindowOfTenMinutes)
{
    ParamOverride params;
    params.set("notistat_d", "tu");
    params.set("notistat_h", "8");
    params.set("notistat_tm", "3");
    StatusSchedule s;
    readStatusSchedule(s);
    EXPECT_EQ(s.weekday, 2);
    struct Case { struct tm now; bool due; };
    const Case cases[] = {
        {at(2026, 2, 8, 30), true},
        {at(2026, 2, 8, 39), true},
        {at(2026, 2, 8, 29), false},
        {at(2026, 2, 8, 40), false},
        {at(2026, 2, 9, 35), false},
        {at(2026, 3, 8, 35), false},  // Wednesday
        {at(2009, 2, 8, 35), false},  // clock not set yet
    };
    for (const Case& c : cases)
        EXPECT_EQ(statusReportDue(s, c.now), c.due) << c.now.tm_year + 1900 << " " << c.now.tm_wday << " "
                                                    << c.now.tm_hour << ":" << c.now.tm_min;
}

// Asked every 6 minutes through a whole day: one report, at 08:30..08:39.
TEST(StatusSchedule, OneReportPerDayWhenAskedEverySixMinutes)
{
    ParamOverride params;
    params.set("notistat_d", "al");
    params.set("notistat_h", "8");
    params.set("notistat_tm", "3");
    StatusSchedule s;
    for (int day = 0; day < 2; ++day) {
        int reports = 0;
        for (int minute = 0; minute < 24 * 60; minute += 6) {
            if (checkStatusSchedule(s, at(2026, day, minute / 60, minute % 60))) {
                ++reports;
                EXPECT_EQ(minute / 60, 8);
                EXPECT_GE(minute % 60, 30);
                EXPECT_LE(minute % 60, 39);
            }
        }
        EXPECT_EQ(reports, 1) << "day " << day;
    }
    for (int minute = 0; minute < 24 * 60; minute += 6)
        EXPECT_FALSE(checkStatusSchedule(s, at(2009, 1, minute / 60, minute % 60)));
}

} // namespace
