#include <gtest/gtest.h>

#include <string>

#include "core/notify/notify_event.h"
#include "snmp/snmp_traps.h"
#include "support/param_override.h"

namespace {

TEST(SnmpTraps, CodeTextAndDeviceTextsPerEvent)
{
    struct Case {
        uint32_t flags;
        const char* client;
        int code;
        const char* text;
        bool deviceTexts;
    };
    const Case cases[] = {
        {NOTIFY_CLIENT_CONNECTED, "198.18.0.5", 5, "device connected: 198.18.0.5", true},
        {NOTIFY_CLIENT_CONNECTED, "", 5, "device connected: ", true},
        {NOTIFY_CLIENT_DISCONNECTED, "198.18.0.5", 6, "device disconnected", true},
        {NOTIFY_DEVICE_ATTACHED, "", 3, "device attached", true},
        {NOTIFY_DEVICE_DETACHED, "", 4, "device detached", true},
        {NOTIFY_SUPPLY_CHANGED, "", 11, "power supply event", false},
        {NOTIFY_CARD_MOUNTED, "", 12, " SDCard is plugged in", false},
        {NOTIFY_CARD_REMOVED, "", 13, " SDCard is plugged out", false},
        {NOTIFY_CARD_MISSING, "", 14, " SDCard is missing", false},
        {NOTIFY_CARD_UNUSABLE, "", 15, " SDCard is unusable", false},
        {NOTIFY_CARD_WRITE_PROTECTED, "", 16, " SDCard is write protected", false},
        {NOTIFY_LINK_CHANGED, "", 17, "network link event", false},
        // Two bits at once are no known event.
        {NOTIFY_DEVICE_ATTACHED | NOTIFY_CLIENT_CONNECTED, "x", 1, "device unknown event", true},
    };
    for (const Case& c : cases) {
        NotifyEvent e;
        fillNotifyEvent(e, c.flags, 1, "M", "P", "S", c.client);
        EXPECT_EQ(eventTrapCode(c.flags), c.code) << std::hex << c.flags;
        EXPECT_EQ(eventTrapText(e), c.text) << std::hex << c.flags;
        EXPECT_EQ(eventTrapHasDeviceTexts(c.flags), c.deviceTexts) << std::hex << c.flags;
    }
}

// Each switch lets its own events through and no others; bits no switch
// names always pass.
TEST(SnmpTraps, SwitchesFilterTheirEvents)
{
    struct Case {
        const char* trapSwitch;
        uint32_t bits;
    };
    const Case cases[] = {
        {"trapdev", NOTIFY_DEVICE_ATTACHED | NOTIFY_DEVICE_DETACHED},
        {"trapact", NOTIFY_CLIENT_CONNECTED | NOTIFY_CLIENT_DISCONNECTED},
        {"trap_pwr", NOTIFY_SUPPLY_CHANGED},
        {"trap_lnk", NOTIFY_LINK_CHANGED},
        {"trap_sdinout", NOTIFY_CARD_MOUNTED | NOTIFY_CARD_REMOVED},
        {"trap_sdunusable", NOTIFY_CARD_MISSING | NOTIFY_CARD_UNUSABLE | NOTIFY_CARD_WRITE_PROTECTED},
    };
    ParamOverride all;
    for (const Case& c : cases)
        all.set(c.trapSwitch, "off");
    uint32_t switched = 0;
    for (const Case& c : cases) {
        switched |= c.bits;
        for (uint32_t bit = 1; bit; bit <<= 1) {
            if (c.bits & bit) {
                EXPECT_FALSE(trapSwitchesAllow(bit)) << c.trapSwitch << std::hex << bit;
            }
        }
        ParamOverride on;
        on.set(c.trapSwitch, "on");
        for (uint32_t bit = 1; bit; bit <<= 1) {
            if (switched & bit & ~c.bits) {
                EXPECT_FALSE(trapSwitchesAllow(bit)) << c.trapSwitch << std::hex << bit;
            }
            if (c.bits & bit) {
                EXPECT_TRUE(trapSwitchesAllow(bit)) << c.trapSwitch << std::hex << bit;
            }
        }
    }
    EXPECT_TRUE(trapSwitchesAllow(0x10));
}

} // namespace
