#include "services/sntp/time_zone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "core/params/param_handles.h"
#include "support/param_override.h"

namespace {

TEST(TimeZone, PosixStringsFromNameAndGroup)
{
    struct Case {
        const char* token;
        const char* group;
        const char* tz;
    };
    const Case cases[] = {
        {"CET/CEST (EU)", "UTC+1:00 EU", "CET-1CEST,M3.5.0,M10.5.0"},
        {"GMT/BST (EU)", "UTC+0:00 EU", "GMT0BST,M3.5.0,M10.5.0"},
        {"NST/NDT (StJohns)", "UTC-3:30 StJohns", "NST3:30NDT,M3.2.0,M11.1.0"},
        {"IST", "UTC+5:30", "IST-5:30"},
        {"NPT", "UTC+5:45", "NPT-5:45"},
        {"MSK/MSD (Russia)", "UTC+3:00 Russia", "MSK-3"},
        {"PST/PDT (US)", "UTC-8:00 us", "PST8PDT,M3.2.0,M11.1.0"},
        {"XST (EU)", "UTC+2:00 EU", "XST-2XST,M3.5.0,M10.5.0"},
        {"optgroup", "", "optgroup0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.token);
        EXPECT_EQ(posixTimeZone(c.token, c.group), c.tz);
    }
}

TEST(TimeZone, RegionsWithTwoWords)
{
    EXPECT_STREQ(daylightRuleOf("new south wales"), "M10.5.0,M3.5.0");
    EXPECT_STREQ(daylightRuleOf("Lord Howe Island"), "M10.5.0,M3.5.0");
    EXPECT_EQ(daylightRuleOf("Russia"), nullptr);
    EXPECT_EQ(posixTimeZone("LHST/LHDT (Lord Howe Island)", "UTC+10:30 Lord Howe Island"),
              "LHST-10:30LHDT,M10.5.0,M3.5.0");
}

TEST(TimeZone, FromTheListParameter)
{
    ParamOverride p;
    p.set(params::ntp_tzone(), "GMT/BST (EU)");
    EXPECT_EQ(configuredTimeZone(), "GMT0BST,M3.5.0,M10.5.0");
    p.set(params::ntp_tzone(), "NST/NDT (StJohns)");
    EXPECT_EQ(configuredTimeZone(), "NST3:30NDT,M3.2.0,M11.1.0");
    p.set(params::ntp_tzone(), "optgroup");
    EXPECT_EQ(configuredTimeZone(), "optgroup0") << "a group row has no offset";
}

TEST(TimeZone, AppliedToLocalTime)
{
    prepareTimeZoneVariable();
    applyTimeZone("CET-1CEST,M3.5.0,M10.5.0");
    const time_t summer = 1719835200;  // 1 July 2024 12:00 UTC
    tm local{};
    ASSERT_NE(localtime_r(&summer, &local), nullptr);
    EXPECT_EQ(local.tm_hour, 14);
    applyTimeZone("NST3:30NDT,M3.2.0,M11.1.0");
    ASSERT_NE(localtime_r(&summer, &local), nullptr);
    EXPECT_EQ(local.tm_hour, 9);
    EXPECT_EQ(local.tm_min, 30);
}

} // namespace
