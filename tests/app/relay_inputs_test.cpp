#include "supervision.h"

#include "core/board/board_device.h"
#include "core/params/param_handles.h"
#include "support/board_test_support.h"
#include "support/param_override.h"

#include <gtest/gtest.h>

namespace {

// The supervision loop's relay inputs on a board with a relay: an input
// that goes missing gives the "interrupted" code, one that comes back the
// "established" code.
TEST(RelayInputs, SupplyInputsPassTheirCodesInEventMode)
{
    boardtest::TempRoot root(278, 353, 4);
    params::sw_features()->setChecked(0x7ff000);
    ASSERT_EQ(boardDevice().open(), 1);
    ASSERT_EQ(boardDevice().startUp(nullptr), 1);
    ParamOverride params;
    params.set("relay_ctrl", "eve");
    params.set("relay_eve_1pwr", "pwroff");
    params.set("relay_eve_2pwr", "pwron");
    params::relay_eves()->setChecked(0);

    SupervisionState state;
    root.setSim("supply", "3");
    pollRelayInputs(state);  // baseline: nothing fires
    EXPECT_EQ(params::relay_eves()->value(), 0);

    root.setSim("supply", "2");  // input 1 lost
    pollRelayInputs(state);
    EXPECT_EQ(params::relay_eves()->value(), 0x40);
    EXPECT_EQ(root.state("relay_line"), "0");  // inverted level: on

    root.setSim("supply", "0");  // input 2 lost: its selector wants "pwron"
    pollRelayInputs(state);
    EXPECT_EQ(params::relay_eves()->value(), 0x40);
    root.setSim("supply", "2");  // input 2 back
    pollRelayInputs(state);
    EXPECT_EQ(params::relay_eves()->value(), 0x40 | 0x20);

    params.set("relay_ctrl", "stat");  // only event mode reads the inputs
    params::relay_eves()->setChecked(0);
    root.setSim("supply", "0");
    pollRelayInputs(state);
    EXPECT_EQ(params::relay_eves()->value(), 0);
    root.setSim("supply", "3");
    boardDevice().close();
}

} // namespace
