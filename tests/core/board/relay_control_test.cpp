#include "core/board/relay_control.h"

#include "core/board/board_device.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "support/board_test_support.h"
#include "support/param_override.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

class Relay : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root_ = new boardtest::TempRoot(278, 353, 4);
        params::sw_features()->setChecked(0x7ff000);
        ASSERT_EQ(boardDevice().open(), 1);
        ASSERT_EQ(boardDevice().startUp(nullptr), 1);
    }
    static void TearDownTestSuite()
    {
        boardDevice().close();
        delete root_;
    }
    void SetUp() override
    {
        params::relay_eves()->setChecked(0);
        boardDevice().setRelay(0);
    }
    // The relay line is driven with inverted level.
    static bool relayOn() { return root_->state("relay_line") == "0"; }

    struct Step {
        uint32_t code;
        bool relayOn;
        int eves;
    };
    void runSteps(const std::vector<Step>& steps)
    {
        for (const Step& s : steps) {
            EXPECT_EQ(handleRelayEvent(s.code), s.eves) << "code 0x" << std::hex << s.code;
            EXPECT_EQ(relayOn(), s.relayOn) << "code 0x" << std::hex << s.code;
            EXPECT_EQ(params::relay_eves()->value(), s.eves) << "code 0x" << std::hex << s.code;
        }
    }

    ParamOverride params_;
    static boardtest::TempRoot* root_;
};
boardtest::TempRoot* Relay::root_ = nullptr;

TEST_F(Relay, EventModeSwitchesOnOnceAndStaysOn)
{
    params_.set("relay_ctrl", "eve");
    params_.set("relay_eve_net", "netoff");
    runSteps({
        {RELAY_NETWORK_OFF, true, 0x2},
        {RELAY_NETWORK_OFF, true, 0x2},  // a repeat changes nothing
        {RELAY_NETWORK_ON, true, 0x2},   // a return does not switch off
        {RELAY_RESTART, true, 0x2},      // not selected
    });
}

TEST_F(Relay, EventModeSelectorsPerCode)
{
    params_.set("relay_ctrl", "eve");
    struct Case {
        const char* selector;
        const char* token;
        uint32_t fires;
        uint32_t ignored;
    };
    const Case cases[] = {
        {"relay_eve_start", "warm", RELAY_RESTART, RELAY_NETWORK_ON},
        {"relay_eve_1pwr", "pwroff", RELAY_SUPPLY1_INTERRUPTED, RELAY_SUPPLY1_ESTABLISHED},
        {"relay_eve_2pwr", "pwron", RELAY_SUPPLY2_ESTABLISHED, RELAY_SUPPLY1_ESTABLISHED},
        {"relay_eve_sd", "sderr", RELAY_SD_UNUSABLE, RELAY_SD_CONNECTED},
        {"relay_eve_ucon", "1", RELAY_USB1_ATTACHED, RELAY_USB2_ATTACHED},
        {"relay_eve_udis", "2", RELAY_USB2_DETACHED, RELAY_USB1_DETACHED},
        {"relay_eve_uact", "any", RELAY_USB2_ACTIVATED, RELAY_USB1_DEACTIVATED},
        {"relay_eve_udea", "any", RELAY_USB1_DEACTIVATED, RELAY_USB1_ACTIVATED},
    };
    for (const Case& c : cases) {
        ParamOverride one;
        params::relay_eves()->setChecked(0);
        boardDevice().setRelay(0);
        one.set(c.selector, c.token);
        EXPECT_EQ(handleRelayEvent(c.ignored), 0) << c.selector;
        EXPECT_FALSE(relayOn()) << c.selector;
        EXPECT_EQ(handleRelayEvent(c.fires), static_cast<int>(c.fires)) << c.selector;
        EXPECT_TRUE(relayOn()) << c.selector;
    }
}

TEST_F(Relay, StateModeFollowsTheLink)
{
    params_.set("relay_ctrl", "stat");
    params_.set("relay_stat_net", "neton");
    runSteps({
        {RELAY_NETWORK_ON, true, 0x4},
        {RELAY_NETWORK_OFF, false, 0x2},
        {RELAY_NETWORK_OFF, false, 0x2},
        {RELAY_NETWORK_ON, true, 0x4},
        {RELAY_RESTART, true, 0x4},  // not a state
    });
}

TEST_F(Relay, StateModeFollowsUsbPairsPerPort)
{
    params_.set("relay_ctrl", "stat");
    params_.set("relay_stat_uact", "2");
    runSteps({
        {RELAY_USB1_ACTIVATED, false, 0},  // port 1 is not watched
        {relayUsbCode(RELAY_USB1_ACTIVATED, 3), true, 0x40000},  // port 3 uses the port-2 codes
        // The watched "activated" state ends: off, and the pair swaps.
        {relayUsbCode(RELAY_USB1_DEACTIVATED, 2), false, 0x80000},
        {RELAY_USB2_DEACTIVATED, false, 0x80000},
        {RELAY_USB2_ACTIVATED, true, 0x40000},
    });
}

TEST_F(Relay, StateModeWithSelectorOffChangesNothing)
{
    params_.set("relay_ctrl", "stat");
    params_.set("relay_stat_net", "off");
    runSteps({{RELAY_NETWORK_ON, false, 0}, {RELAY_NETWORK_OFF, false, 0}});
}

TEST_F(Relay, FixModeAndModelsWithoutRelayIgnoreEvents)
{
    params_.set("relay_eve_net", "netoff");
    params_.set("relay_ctrl", "fix");
    EXPECT_EQ(handleRelayEvent(RELAY_NETWORK_OFF), 0);
    params_.set("relay_ctrl", "eve");
    params::sw_features()->setChecked(0x3ff000);
    EXPECT_EQ(handleRelayEvent(RELAY_NETWORK_OFF), 0);
    params::sw_features()->setChecked(0x7ff000);
    EXPECT_FALSE(relayOn());
    EXPECT_EQ(params::relay_eves()->value(), 0);
}

TEST_F(Relay, SupplyChangesGiveTheCodesOfTheInputsThatChanged)
{
    // Bit set = input present, which is the "established" code.
    params_.set("relay_ctrl", "eve");
    params_.set("relay_eve_1pwr", "pwroff");
    params_.set("relay_eve_2pwr", "pwron");
    handleRelaySupplyChange(0x3, 0x2);  // input 1 lost
    EXPECT_EQ(params::relay_eves()->value(), RELAY_SUPPLY1_INTERRUPTED);
    handleRelaySupplyChange(0x2, 0x0);  // input 2 lost: not selected
    EXPECT_EQ(params::relay_eves()->value(), RELAY_SUPPLY1_INTERRUPTED);
    handleRelaySupplyChange(0x0, 0x2);  // input 2 back
    EXPECT_EQ(params::relay_eves()->value(), RELAY_SUPPLY1_INTERRUPTED | RELAY_SUPPLY2_ESTABLISHED);
}

TEST_F(Relay, EventTimeIsStampedWhenTheRelaySwitches)
{
    params_.set("relay_ctrl", "eve");
    params_.set("relay_eve_sd", "sdin");
    const uint32_t before = static_cast<uint32_t>(time(nullptr));
    handleRelayEvent(RELAY_SD_CONNECTED);
    // This machine's clock is past 2015: seconds since the epoch.
    EXPECT_GE(relayEventTime(RELAY_SD_CONNECTED), before);
    EXPECT_EQ(relayEventTime(0x800), 0u);
    EXPECT_STREQ(relayEventRow(7).text, "SD card connected");
}

// Threads switching the same quantity in state mode: whatever order they
// run in, the relay ends as the recorded bits say.
TEST_F(Relay, ConcurrentCallersLeaveRelayAndBitsInAgreement)
{
    params_.set("relay_ctrl", "stat");
    params_.set("relay_stat_net", "neton");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                handleRelayEvent(((i + t) & 1) ? RELAY_NETWORK_ON : RELAY_NETWORK_OFF);
        });
    }
    for (auto& th : threads)
        th.join();
    const int eves = params::relay_eves()->value();
    ASSERT_TRUE(eves == RELAY_NETWORK_ON || eves == RELAY_NETWORK_OFF) << eves;
    EXPECT_EQ(relayOn(), eves == RELAY_NETWORK_ON);
}

TEST_F(Relay, ClearOpensTheRelayAndForgetsTheEvents)
{
    params_.set("relay_ctrl", "eve");
    params_.set("relay_eve_net", "netoff");
    runSteps({{RELAY_NETWORK_OFF, true, 0x2}});
    clearRelayEvents();
    EXPECT_FALSE(relayOn());
    EXPECT_EQ(params::relay_eves()->value(), 0);
    // The event is recorded again the next time it fires.
    runSteps({{RELAY_NETWORK_OFF, true, 0x2}});
}

TEST_F(Relay, ClearRacingEventsLeavesRelayAndBitsInAgreement)
{
    params_.set("relay_ctrl", "eve");
    params_.set("relay_eve_net", "netoff");
    for (int round = 0; round < 50; ++round) {
        std::thread clearer([] {
            for (int i = 0; i < 20; ++i)
                clearRelayEvents();
        });
        for (int i = 0; i < 20; ++i)
            handleRelayEvent(RELAY_NETWORK_OFF);
        clearer.join();
        // Whichever came last, the relay is closed exactly when the event
        // is recorded.
        const int eves = params::relay_eves()->value();
        ASSERT_EQ(relayOn(), eves == RELAY_NETWORK_OFF) << "round " << round << " eves " << eves;
    }
}

} // namespace

namespace {

// Events that come while the board is still starting (the driver not yet
// probed, so the switch cannot be made) are applied when its start-up ends.
TEST(RelayBeforeBoardStartUp, TheRequestedStateIsAppliedAtTheEndOfStartUp)
{
    struct Case {
        const char* statNet;
        uint32_t code;
        const char* relayLine;  // inverted: "0" is on
    };
    const Case cases[] = {
        {"neton", RELAY_NETWORK_ON, "0"},
        {"neton", RELAY_NETWORK_OFF, "1"},
    };
    for (const Case& c : cases) {
        boardtest::TempRoot root(278, 365, 4);
        params::sw_features()->setChecked(0x7ff000);
        ParamOverride params;
        params.set("relay_ctrl", "stat");
        params.set("relay_stat_net", c.statNet);
        params::relay_eves()->setChecked(0);
        ASSERT_EQ(boardDevice().open(), 1);
        handleRelayEvent(c.code);
        ASSERT_EQ(boardDevice().startUp(nullptr), 1);
        EXPECT_EQ(root.state("relay_line"), c.relayLine) << c.statNet << " 0x" << std::hex << c.code;
        boardDevice().close();
    }
}

} // namespace
