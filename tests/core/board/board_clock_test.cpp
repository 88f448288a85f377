// The tick clock fed by the board's counter. The clock's state is
// process-wide: this program holds the one scenario that needs a clock
// nobody has read yet.
#include "core/board/board_device.h"

#include "support/board_test_support.h"
#include "core/task/tick_clock.h"

#include <gtest/gtest.h>

using boardtest::RequestLog;
using boardtest::TempRoot;

TEST(BoardClock, FirstReadingIsZeroAndTheFallbackIsForGood)
{
    TempRoot root(250, 300, 4);
    RequestLog::instance().clear();
    BoardDevice board(boardtest::loggingDriver());
    board.useAsClock();
    ASSERT_EQ(board.open(), 1);

    EXPECT_EQ(boardTicks(), 0u);
    EXPECT_EQ(RequestLog::instance().countOf(GPIO_GET_TICKS), 1u);
    uint64_t before = boardTicks();
    EXPECT_EQ(RequestLog::instance().countOf(GPIO_GET_TICKS), 2u);

    // The board goes away (as at the end of a run): the clock goes on from
    // where it was, on the system clock.
    ASSERT_EQ(board.close(), 1);
    uint64_t value = 0;
    EXPECT_EQ(board.readTickCounter(&value), 0);
    uint64_t after = boardTicks();
    EXPECT_GE(after, before);

    // Back on the board, the clock stays where it fell back to.
    ASSERT_EQ(board.open(), 1);
    EXPECT_EQ(board.readTickCounter(&value), 1);
    RequestLog::instance().clear();
    for (int i = 0; i < 5; ++i)
        EXPECT_GE(boardTicks(), after);
    EXPECT_EQ(RequestLog::instance().countOf(GPIO_GET_TICKS), 0u);
}
