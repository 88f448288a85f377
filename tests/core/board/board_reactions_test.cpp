#include "core/board/board_reactions.h"

#include "core/addr/sock_addr.h"
#include "core/board/board_device.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/storage/sd_card_state.h"
#include "support/board_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// A display board with every feature switched on, started up so that its
// port power and LEDs answer.
class ChangeEffects : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root_ = new boardtest::TempRoot(278, 353, 4);
        params::sw_features()->setChecked(0x7ff000);
        registerBoardReactions();
        ASSERT_EQ(boardDevice().open(), 1);
        ASSERT_EQ(boardDevice().startUp(nullptr), 1);
        resetModified();
    }
    static void TearDownTestSuite()
    {
        boardDevice().close();
        delete root_;
    }
    static std::string state(const char* key) { return root_->state(key); }
    static uint32_t powerLines() { return static_cast<uint32_t>(std::stoul(state("power_lines"), nullptr, 0)); }
    static Param* member(const char* prefix, int n) { return ParamStore::find(prefix, static_cast<int>(strlen(prefix)), n); }

    static boardtest::TempRoot* root_;
};
boardtest::TempRoot* ChangeEffects::root_ = nullptr;

TEST_F(ChangeEffects, PortPowerOffSwitchesThePortsLine)
{
    ASSERT_EQ(powerLines() & 0xf, 0xfu);
    member("zyt_poff_", 3)->set("on", -1);
    resetModified();
    EXPECT_EQ(powerLines() & 0xf, 0xbu);
    member("zyt_poff_", 3)->set("off", -1);
    resetModified();
    EXPECT_EQ(powerLines() & 0xf, 0xfu);
}

TEST_F(ChangeEffects, RelayFollowsItsMode)
{
    // The relay line is driven with inverted level: 0 = relay on.
    struct Step { const char* name; const char* value; const char* relayLine; };
    const Step steps[] = {
        {"relay_ctrl", "fix", nullptr},
        {"relay_on", "on", "0"},
        {"relay_on", "off", "1"},
        {"relay_on", "on", "0"},
        {"relay_eve_net", "neton", "0"},  // an event rule leaves a fixed relay alone
        {"relay_stat_net", "neton", "0"},  // and so does a state rule
        {"relay_ctrl", "eve", "1"},       // leaving "fix" switches it off
        {"relay_ctrl", "fix", "0"},       // back to "fix": relay_on again
        {"relay_ctrl", "eve", "1"},
        {"relay_eve_net", "netoff", "1"},
        {"relay_ctrl", "stat", "1"},
        {"relay_eve_net", "off", "1"},
        {"relay_ctrl", "fix", "0"},
    };
    for (const Step& s : steps) {
        Param* p = ParamStore::find(s.name);
        ASSERT_NE(p, nullptr) << s.name;
        p->set(s.value, -1);
        ASSERT_EQ(p->text(), s.value) << s.name << " refused " << s.value;
        resetModified();
        if (s.relayLine) {
            EXPECT_EQ(state("relay_line"), s.relayLine) << s.name << " = " << s.value;
        }
    }
    EXPECT_EQ(params::relay_eves()->value(), 0);
}

TEST_F(ChangeEffects, DisplayTextsFollowTheirSwitches)
{
    params::disp_def()->set("AB", -1);
    resetModified();
    EXPECT_EQ(state("display"), "AB");

    root_->setSim("supply", "2");  // input 1 missing
    boardDevice().pollPowerInputs();
    EXPECT_NE(params::disp_erVals()->text().find("E1"), std::string::npos);
    params::disp_pwr()->set("off", -1);
    resetModified();
    EXPECT_EQ(params::disp_erVals()->text().find("E1"), std::string::npos);
    params::disp_pwr()->set("on", -1);
    resetModified();
    EXPECT_NE(params::disp_erVals()->text().find("E1"), std::string::npos);

    // No card: E4 while the SD card switch is on.
    params::disp_sdc()->set("off", -1);
    resetModified();
    params::disp_sdc()->set("on", -1);
    resetModified();
    EXPECT_NE(params::disp_erVals()->text().find("E4"), std::string::npos);
    root_->setSim("supply", "3");
}

TEST_F(ChangeEffects, SupplySwitchDoesNotBreakALockedDisplay)
{
    root_->setSim("supply", "2");
    boardDevice().pollPowerInputs();
    ASSERT_EQ(boardDevice().setDisplayEntry('D', 'L', kDisplayLock), 1);
    params::disp_pwr()->set("off", -1);
    resetModified();
    params::disp_pwr()->set("on", -1);
    resetModified();
    EXPECT_EQ(state("display"), "DL");
}

// The address LED pattern: A for a routable address, B for a link-local one
// or none.
TEST_F(ChangeEffects, AddressLedsShowWhetherTheAddressIsRoutable)
{
    struct Case {
        const char* address;
        const char* pattern;
    };
    const Case cases[] = {
        {"198.18.7.2", "=5 1023 1 250"},
        {"169.254.3.4", "=21 1023 1 250"},
        {"0.0.0.0", "=21 1023 1 250"},
    };
    for (const Case& c : cases) {
        showAddressOnLeds(SockAddr::parse(c.address));
        std::ifstream f(root_->path("/dev/gpio.sim/state"));
        const std::string state((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        EXPECT_NE(state.find(c.pattern), std::string::npos) << c.address << "\n" << state;
    }
}

} // namespace
