#include "web/pages/relay_page.h"

#include "web/http/template_vars.h"

#include "core/board/relay_control.h"
#include "support/param_override.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <string>

namespace {

std::map<uint32_t, uint32_t> fakeTimes;

uint32_t fakeTimeOf(uint32_t code)
{
    auto it = fakeTimes.find(code);
    return it == fakeTimes.end() ? 0 : it->second;
}

// Runs with TZ set to zone, and puts the old zone back.
class Zone {
public:
    explicit Zone(const char* zone)
    {
        const char* old = getenv("TZ");
        had_ = old != nullptr;
        old_ = old ? old : "";
        setenv("TZ", zone, 1);
        tzset();
    }
    ~Zone()
    {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_;
    std::string old_;
};

TEST(RelayEvents, OldestFirstAndUnknownBitsSkipped)
{
    fakeTimes = {{RELAY_RESTART, 500}, {RELAY_NETWORK_OFF, 20}, {RELAY_USB1_ATTACHED, 20}, {RELAY_SD_CONNECTED, 7}};
    // 0x800 has no event.
    const uint32_t bits = RELAY_RESTART | RELAY_NETWORK_OFF | RELAY_USB1_ATTACHED | RELAY_SD_CONNECTED | 0x800;
    std::vector<RelayEventShown> shown = relayEventsShown(bits, fakeTimeOf);
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[0].code, static_cast<uint32_t>(RELAY_SD_CONNECTED));
    // Equal times keep the order of their bits.
    EXPECT_EQ(shown[1].code, static_cast<uint32_t>(RELAY_NETWORK_OFF));
    EXPECT_EQ(shown[2].code, static_cast<uint32_t>(RELAY_USB1_ATTACHED));
    EXPECT_EQ(shown[3].code, static_cast<uint32_t>(RELAY_RESTART));
    EXPECT_STREQ(shown[0].text, "SD card connected");
    EXPECT_TRUE(relayEventsShown(0, fakeTimeOf).empty());
}

TEST(RelayEvents, TimeBeforeTheClockWasSetIsElapsedTimeInEveryZone)
{
    const uint32_t elapsed = ((1 * 24 + 2) * 60 + 3) * 60 + 4;  // 1 day 02:03:04
    for (const char* zone : {"UTC", "Europe/Berlin", "America/New_York", "Asia/Tokyo"}) {
        Zone tz(zone);
        EXPECT_EQ(relayTimeText(elapsed), "0000-00-01 02:03:04\n") << zone;
        EXPECT_EQ(relayTimeText(0), "0000-00-00 00:00:00\n") << zone;
        EXPECT_EQ(relayTimeText(40 * 86400 + 3600), "0000-01-09 01:00:00\n") << zone;
    }
}

TEST(RelayEvents, TimeAfterTheClockWasSetIsLocalTime)
{
    const uint32_t stamp = 1700000000;  // 2023-11-14 22:13:20 UTC
    {
        Zone tz("UTC");
        EXPECT_EQ(relayTimeText(stamp), "2023-11-14 22:13:20\n");
    }
    {
        Zone tz("Europe/Berlin");
        EXPECT_EQ(relayTimeText(stamp), "2023-11-14 23:13:20\n");
    }
}

TEST(RelayEvents, VariablesAndRelayState)
{
    ParamOverride params;
    struct Case {
        const char* mode;
        const char* on;
        bool events;
        const char* state;
        const char* kind;
    } cases[] = {
        {"fix", "off", true, "Open (fixed)", "Event"},
        {"fix", "on", false, "Closed (fixed)", "Event"},
        {"eve", "off", true, "Closed", "Event"},
        {"eve", "off", false, "open", "Event"},
        {"stat", "off", true, "Closed", "Status"},
    };
    fakeTimes = {{RELAY_RESTART, 9}, {RELAY_NETWORK_ON, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.on);
        params.set("relay_ctrl", c.mode);
        params.set("relay_on", c.on);
        TemplateVars vars;
        setRelayVars(vars, "en", relayEventsShown(c.events ? (RELAY_RESTART | RELAY_NETWORK_ON) : 0, fakeTimeOf));
        EXPECT_EQ(*vars.find("RelayState", -1), c.state);
        EXPECT_EQ(*vars.find("RelayStatOrEve", -1), c.kind);
        EXPECT_EQ(vars.count("Eves"), c.events ? 2 : 0);
        if (c.events) {
            EXPECT_EQ(*vars.find("Eves_0", -1), "Network connection established");
            EXPECT_EQ(*vars.find("Eves_1", -1), "Restart");
            EXPECT_EQ(vars.find("EveT_0", -1)->find("0000-00-00 00:00:03"), 0u);
        }
    }
}

} // namespace
