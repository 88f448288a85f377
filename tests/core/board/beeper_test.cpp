// The beeper: pulses on its output line from a detached thread, and the
// beeps of the supply watch. Destroying a board waits for its beeper
// threads, so the counts below are final without any polling.
#include "core/board/board_device.h"

#include "support/board_test_support.h"
#include "core/product/model_features.h"
#include "core/params/param_handles.h"
#include "core/storage/sd_card_state.h"

#include <gtest/gtest.h>

using boardtest::LoggedRequest;
using boardtest::RequestLog;
using boardtest::TempRoot;

namespace {

std::unique_ptr<BoardDevice> startedBoard()
{
    auto board = std::make_unique<BoardDevice>(boardtest::loggingDriver());
    EXPECT_EQ(board->open(), 1);
    EXPECT_EQ(board->startUp(nullptr), 1);
    RequestLog::instance().clear();
    return board;
}

} // namespace

TEST(Beeper, BeepTypes)
{
    struct Case {
        uint32_t board;
        int type;
        uint32_t line;
        size_t beeps;
        uint64_t minTicksOn;
    };
    const Case cases[] = {
        {kBoardDisplay, 0, 1u << 31, 1, 10},
        {kBoardDisplay, 1, 1u << 31, 1, 40},
        {kBoardDisplay, 2, 1u << 31, 2, 10},
        {250, 7, 1u << 0, 1, 10},
    };
    for (const Case& c : cases) {
        TempRoot root(c.board, 300, 0);
        auto board = startedBoard();
        EXPECT_EQ(board->beep(c.type), 1);
        board.reset();
        auto log = RequestLog::instance().ofAny({GPIO_LINES_ON, GPIO_LINES_OFF});
        ASSERT_EQ(log.size(), 2 * c.beeps) << "type " << c.type;
        for (size_t i = 0; i < log.size(); ++i) {
            EXPECT_EQ(log[i].words[0], c.line);
            EXPECT_EQ(log[i].request, i % 2 == 0 ? GPIO_LINES_ON : GPIO_LINES_OFF);
        }
        EXPECT_GE(log[1].tick - log[0].tick, c.minTicksOn) << "type " << c.type;
        if (c.beeps == 2) {
            EXPECT_GE(log[2].tick - log[1].tick, 25u) << "pause between two beeps";
        }
        EXPECT_EQ(root.stateNumber("beeps"), c.beeps);
        EXPECT_EQ(root.stateNumber("power_lines"), 0u);
    }
}

TEST(Beeper, SupplyWatchBeeps)
{
    struct Case {
        uint32_t features;
        const char* supply;
        bool beepPwr;
        bool beepSDc;
        int sdState;
        size_t beeps;
    };
    const Case cases[] = {
        {kFeatureBeeper, "2", true, false, kSdCardMounted, 1},   // an input is missing
        {kFeatureBeeper, "2", false, false, kSdCardMounted, 0},
        {0, "2", true, true, kSdCardRemoved, 0},                  // no beeper on this model
        {kFeatureBeeper, "3", true, true, kSdCardRemoved, 1},     // no card to copy to
        {kFeatureBeeper, "3", true, true, kSdCardMounted, 0},
        {kFeatureBeeper, "2", false, true, kSdCardUnusable, 1},
    };
    for (const Case& c : cases) {
        TempRoot root(kBoardDisplay, 300, 0);
        root.setSim("supply", c.supply);
        params::sw_features()->setValue(static_cast<int32_t>(c.features));
        params::beepPwr()->set(c.beepPwr ? "on" : "off", -1);
        params::beepSDc()->set(c.beepSDc ? "on" : "off", -1);
        setSdCardState(c.sdState);
        auto board = startedBoard();
        EXPECT_EQ(board->pollPowerInputs(), 1);
        board.reset();
        EXPECT_EQ(root.stateNumber("beeps"), c.beeps)
            << "supply " << c.supply << " beepPwr " << c.beepPwr << " beepSDc " << c.beepSDc << " sd " << c.sdState;
    }
    params::sw_features()->setValue(0);
    params::beepPwr()->set("off", -1);
    params::beepSDc()->set("off", -1);
    setSdCardState(kSdCardRemoved);
}
