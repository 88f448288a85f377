#include "core/board/board_device.h"

#include "support/board_test_support.h"
#include "core/product/model_features.h"
#include "core/params/param_handles.h"

#include <gtest/gtest.h>

#include <vector>

using boardtest::LoggedRequest;
using boardtest::RequestLog;
using boardtest::TempRoot;

namespace {

struct SupplyEvent {
    uint32_t event;
    uint32_t bits;
};
std::vector<SupplyEvent> supplyEvents;

void recordSupplyEvent(uint32_t event, uint32_t bits)
{
    supplyEvents.push_back({event, bits});
}

class DisplayTest : public ::testing::Test {
protected:
    void SetUp() override { useBoard(kBoardDisplay); }
    void TearDown() override
    {
        setSupplyEventSink(nullptr);
        params::sw_features()->setValue(0);
        params::disp_pwr()->set("on", -1);
    }

    void useBoard(uint32_t type)
    {
        board.reset();
        root.reset();  // before the next root: its end clears the root prefix
        root = std::make_unique<TempRoot>(type, 300, 0);
        RequestLog::instance().clear();
        supplyEvents.clear();
        setSupplyEventSink(recordSupplyEvent);
        params::sw_features()->setValue(0);
        params::disp_pwr()->set("on", -1);
        params::disp_def()->set("DS", -1);
        params::disp_erVals()->set("", 0);
        board = std::make_unique<BoardDevice>(boardtest::loggingDriver());
        ASSERT_EQ(board->open(), 1);
    }

    std::string erVals() { return *params::disp_erVals()->value(); }
    std::string shown() { return root->state("display") + "/" + root->state("display_points"); }
    void setSupply(const char* bits) { root->setSim("supply", bits); }

    std::unique_ptr<TempRoot> root;
    std::unique_ptr<BoardDevice> board;
};

} // namespace

TEST_F(DisplayTest, AddReAddRemove)
{
    EXPECT_EQ(board->setDisplayEntry('E', '1', 0x24), 1);
    EXPECT_EQ(shown(), "E1/00");
    EXPECT_EQ(root->state("display_blink"), "11 15 1 200");
    EXPECT_EQ(erVals(), "E1");
    EXPECT_EQ(board->setDisplayEntry('E', '5', 0x44), 1);
    EXPECT_EQ(root->state("display_blink"), "28 31 1 50");
    EXPECT_EQ(erVals(), "E1, E5");

    // Listed again: only its flags change.
    EXPECT_EQ(board->setDisplayEntry('E', '1', 0x27), 1);
    EXPECT_EQ(erVals(), "E1, E5");
    EXPECT_EQ(shown(), "E1/11");

    // A removed code leaves the published list at once.
    RequestLog::instance().clear();
    EXPECT_EQ(board->setDisplayEntry('E', '1', 0x8), 1);
    EXPECT_EQ(RequestLog::instance().countOf(GPIO_SET_DISPLAY), 0u);
    EXPECT_EQ(erVals(), "E5");
    EXPECT_EQ(board->setDisplayEntry('E', '1', 0x8), 0);
    EXPECT_EQ(board->setDisplayEntry(0, '1', 0x4), 0);

    // Shown without listing: the list stays as it is.
    EXPECT_EQ(board->setDisplayEntry('D', 'S', 0), 1);
    EXPECT_EQ(shown(), "DS/00");
    EXPECT_EQ(erVals(), "E5");
}

TEST_F(DisplayTest, NinthCodeIsRefused)
{
    const char seconds[] = "12345678";
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(board->setDisplayEntry('A', seconds[i], 0x4), 1) << i;
    EXPECT_EQ(erVals(), "A1, A2, A3, A4, A5, A6, A7, A8");
    EXPECT_EQ(board->setDisplayEntry('B', '1', 0x4), 0);
    EXPECT_EQ(erVals(), "A1, A2, A3, A4, A5, A6, A7, A8");
    // A freed entry takes the next code.
    ASSERT_EQ(board->setDisplayEntry('A', '3', 0x8), 1);
    EXPECT_EQ(board->setDisplayEntry('B', '1', 0x4), 1);
    EXPECT_EQ(erVals(), "A1, A2, B1, A4, A5, A6, A7, A8");
}

TEST_F(DisplayTest, RestartCodeLocksTheDisplay)
{
    ASSERT_EQ(board->setDisplayEntry('E', '5', 0x24), 1);
    EXPECT_EQ(board->setDisplayEntry('R', 'S', 0x30), 1);
    EXPECT_EQ(shown(), "RS/00");
    EXPECT_EQ(root->state("display_blink"), "11 15 1 200");
    EXPECT_TRUE(board->displayStateFlags() & kDisplayLocked);

    RequestLog::instance().clear();
    EXPECT_EQ(board->setDisplayEntry('E', '1', 0x24), 1);
    EXPECT_EQ(board->setDisplayEntry('E', '5', 0x8), 1);
    EXPECT_EQ(board->setDisplayEntry('D', 'S', 0), 1);
    EXPECT_EQ(RequestLog::instance().countOf(GPIO_SET_DISPLAY), 0u);
    EXPECT_EQ(erVals(), "E5");
    EXPECT_EQ(shown(), "RS/00");

    // Nothing moves the display any more, not even the supply watch.
    setSupply("0");
    EXPECT_EQ(board->pollPowerInputs(), 0);
    EXPECT_EQ(RequestLog::instance().countOf(GPIO_GET_SUPPLY_INPUTS), 0u);
    EXPECT_TRUE(supplyEvents.empty());
    EXPECT_EQ(shown(), "RS/00");

    // Another locking code (an update) still shows.
    EXPECT_EQ(board->setDisplayEntry('D', 'L', 0x30), 1);
    EXPECT_EQ(shown(), "DL/00");
}

TEST_F(DisplayTest, BoardsWithoutDisplayChangeNothing)
{
    useBoard(250);
    params::disp_erVals()->set("X9", -1);
    EXPECT_EQ(board->setDisplayEntry('E', '1', 0x24), 1);
    EXPECT_EQ(board->setDisplayEntry('E', '1', 0x8), 1);
    EXPECT_EQ(board->setDisplayEntry('R', 'S', 0x30), 1);
    EXPECT_EQ(RequestLog::instance().countOf(GPIO_SET_DISPLAY), 0u);
    EXPECT_EQ(erVals(), "X9");
    EXPECT_EQ(board->displayStateFlags(), 0u);

    // The supply inputs are still watched: the state flags tell the pages.
    setSupply("1");
    EXPECT_EQ(board->pollPowerInputs(), 1);
    EXPECT_EQ(board->displayStateFlags(), kSupply2Missing);
    ASSERT_EQ(supplyEvents.size(), 1u);
    EXPECT_EQ(supplyEvents[0].bits, 1u);
    EXPECT_EQ(RequestLog::instance().countOf(GPIO_SET_DISPLAY), 0u);
    EXPECT_EQ(erVals(), "X9");
}

TEST_F(DisplayTest, SupplyInputSequence)
{
    // Both present: nothing changes, nothing is reported.
    EXPECT_EQ(board->pollPowerInputs(), 1);
    EXPECT_TRUE(supplyEvents.empty());
    EXPECT_EQ(erVals(), "");
    EXPECT_EQ(root->state("display"), "--");

    struct Step {
        const char* inputs;
        uint32_t stateFlags;
        const char* list;
        const char* display;  // after the poll's own rotation step
    };
    const Step steps[] = {
        {"2", kSupply1Missing, "E1", "E1/01"},   // input 1 lost
        {"0", kSupply1Missing | kSupply2Missing, "E1", "DS/11"},
        {"1", kSupply2Missing, "E1", "E1/10"},
        {"3", 0, "", "DS/00"},                   // both back
    };
    for (const Step& s : steps) {
        supplyEvents.clear();
        setSupply(s.inputs);
        EXPECT_EQ(board->pollPowerInputs(), 1);
        EXPECT_EQ(board->displayStateFlags(), s.stateFlags) << s.inputs;
        EXPECT_EQ(erVals(), s.list) << s.inputs;
        EXPECT_EQ(shown(), s.display) << s.inputs;
        ASSERT_EQ(supplyEvents.size(), 1u) << s.inputs;
        EXPECT_EQ(supplyEvents[0].event, 0x200000u);
        EXPECT_EQ(supplyEvents[0].bits, strtoul(s.inputs, nullptr, 0));
    }
}

TEST_F(DisplayTest, SupplyLossListsE1WithItsPointAndBlink)
{
    setSupply("2");
    RequestLog::instance().clear();
    ASSERT_EQ(board->pollPowerInputs(), 1);
    auto shownRecords = RequestLog::instance().of(GPIO_SET_DISPLAY);
    ASSERT_FALSE(shownRecords.empty());
    // Flags 0x25: listed, slow blink, point after the second character.
    const uint32_t e1 = uint32_t('E') << 24 | uint32_t('1') << 8 | '.';
    const uint32_t expected[5] = {e1, 11, 15, 1, 200};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(shownRecords.front().words[i], expected[i]) << i;

    // Without disp_pwr the state is kept but E1 is not listed.
    useBoard(kBoardDisplay);
    params::disp_pwr()->set("off", -1);
    setSupply("2");
    ASSERT_EQ(board->pollPowerInputs(), 1);
    EXPECT_EQ(board->displayStateFlags(), kSupply1Missing);
    EXPECT_EQ(erVals(), "");
    EXPECT_EQ(supplyEvents.size(), 1u);
}

TEST_F(DisplayTest, RotationOrder)
{
    ASSERT_EQ(board->setDisplayEntry('E', '1', 0x24), 1);
    ASSERT_EQ(board->setDisplayEntry('E', '5', 0x24), 1);
    ASSERT_EQ(board->setDisplayEntry('E', '3', 0x24), 1);
    ASSERT_EQ(board->setDisplayEntry('E', '5', 0x8), 1);
    const char* expected[] = {"E1", "E3", "DS", "E1", "E3", "DS"};
    for (const char* code : expected) {
        ASSERT_EQ(board->pollPowerInputs(), 1);
        EXPECT_EQ(root->state("display"), code);
    }
}

TEST_F(DisplayTest, ClosedBoard)
{
    board->close();
    EXPECT_EQ(board->setDisplayEntry('D', 'S', 0), 0);
    // The list is still kept: the code shows once the board answers again.
    EXPECT_EQ(board->setDisplayEntry('E', '2', 0x24), 0);
    EXPECT_EQ(erVals(), "E2");
    // Unreadable inputs are no supply loss.
    EXPECT_EQ(board->pollPowerInputs(), 1);
    EXPECT_EQ(board->displayStateFlags(), 0u);
    EXPECT_TRUE(supplyEvents.empty());
    EXPECT_EQ(erVals(), "E2");
}
