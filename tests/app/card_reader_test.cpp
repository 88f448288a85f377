#include "supervision.h"

#include "core/board/board_device.h"
#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "core/i18n/texts.h"
#include "support/board_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string rowText(const char* prefix)
{
    Param* p = ParamStore::find(prefix, static_cast<int>(strlen(prefix)), 1);
    return p ? p->text() : "(missing)";
}

TEST(Supervision, CpuLoadIsSampledEveryPeriodAndNeverWithPeriodZero)
{
    struct Case { int period; std::vector<bool> expected; };
    const Case cases[] = {
        {0, {false, false, false, false, false, false}},
        {1, {true, true, true, true, true, true}},
        {5, {true, false, false, false, false, true}},
    };
    for (const Case& c : cases) {
        int countdown = 0;
        std::vector<bool> got;
        for (size_t second = 0; second < c.expected.size(); ++second)
            got.push_back(cpuLoadSampleDue(countdown, c.period));
        EXPECT_EQ(got, c.expected) << "period " << c.period;
    }
}

// The model with the card reader shows the card as the device of row 1 and
// keeps port 0's LED in step with it.
TEST(Supervision, CardReaderPublishesTheCardAndDrivesPortZerosLed)
{
    boardtest::TempRoot root(254, 337, 1);
    root.setSim("card", "0");
    BoardDevice& board = boardDevice();
    ASSERT_EQ(board.open(), 1);
    ASSERT_EQ(board.startUp(nullptr), 1);  // learns the available LEDs

    SupervisionState state;
    pollCardReader(state);
    EXPECT_EQ(rowText("usb_manu_"), "-");
    EXPECT_EQ(board.portLedState(0), 0);

    root.setSim("card", "1");
    pollCardReader(state);
    EXPECT_EQ(rowText("usb_manu_"), "CardReader");
    EXPECT_EQ(rowText("usb_prod_"), "MemoryCard");
    EXPECT_EQ(rowText("usb_sern_"), "?");
    EXPECT_EQ(rowText("usb_owner_"), getmuText("Available"));
    EXPECT_EQ(board.portLedState(0), 1);

    // A state the LED had while the card was in comes back after a new card.
    ASSERT_EQ(board.setPortLed(0, 2, 0), 1);
    pollCardReader(state);
    root.setSim("card", "0");
    pollCardReader(state);
    EXPECT_EQ(rowText("usb_owner_"), "-");
    EXPECT_EQ(board.portLedState(0), 0);
    root.setSim("card", "1");
    pollCardReader(state);
    EXPECT_EQ(board.portLedState(0), 2);
    board.close();
}

// The link code goes with its switch.
TEST(Supervision, LinkCodeFollowsItsSwitch)
{
    boardtest::TempRoot root(278, 353, 4);
    const int32_t features = params::sw_features()->value();
    params::sw_features()->setChecked(0x7ff000);
    registerLinkDisplayEffect();
    BoardDevice& board = boardDevice();
    ASSERT_EQ(board.open(), 1);
    ASSERT_EQ(board.startUp(nullptr), 1);
    resetModified();

    ASSERT_EQ(board.setDisplayEntry('E', '5', kDisplayAdd | kDisplaySlowBlink), 1);
    EXPECT_NE(params::disp_erVals()->text().find("E5"), std::string::npos);
    params::disp_lnk()->set("off", -1);
    resetModified();
    EXPECT_EQ(params::disp_erVals()->text().find("E5"), std::string::npos);

    params::disp_lnk()->set("on", -1);
    params::sw_features()->setChecked(features);
    resetModified();
    board.close();
}

} // namespace
