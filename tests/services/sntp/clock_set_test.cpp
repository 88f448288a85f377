#include <gtest/gtest.h>

#include "core/net/dhcp_lease.h"
#include "core/task/tick_clock.h"
#include "services/sntp/ntp_task.h"
#include "support/fn_task.h"

namespace {

uint64_t fakeTicks = 1000;
timeval lastSet{};
int setCalls = 0;

uint64_t readFakeTicks()
{
    return fakeTicks;
}

// A clock whose setting makes the tick counter jump by 250 ticks, as a
// board counter derived from the wall clock does.
int jumpingClock(const timeval& time)
{
    lastSet = time;
    ++setCalls;
    fakeTicks += 250;
    return 0;
}

int refusingClock(const timeval&)
{
    ++setCalls;
    fakeTicks += 250;
    return -1;
}

class ClockSet : public ::testing::Test {
protected:
    void SetUp() override
    {
        setTickSourceForTest(readFakeTicks);
        fakeTicks = 1000;
        setCalls = 0;
    }
    void TearDown() override
    {
        setClockSetter(nullptr);
        setTickSourceForTest(nullptr);
        recordDhcpLeaseStart(0);
    }
};

TEST_F(ClockSet, TickJumpMovesTaskStartsAndTheLease)
{
    FnTaskOf<> task([](FnTaskOf<>&) {}, nullptr, "clock-test");
    const uint64_t created = task.creationTick();
    recordDhcpLeaseStart(900);
    setClockSetter(jumpingClock);

    ASSERT_EQ(setClockShiftingTicks(timeval{1704067200, 5}), 0);
    EXPECT_EQ(setCalls, 1);
    EXPECT_EQ(lastSet.tv_sec, 1704067200);
    EXPECT_EQ(lastSet.tv_usec, 5);
    EXPECT_EQ(task.creationTick(), created + 250);
    EXPECT_EQ(dhcpLeaseStartTick(), 1150u);
}

TEST_F(ClockSet, NoLeaseStaysNoLease)
{
    recordDhcpLeaseStart(0);
    setClockSetter(jumpingClock);
    ASSERT_EQ(setClockShiftingTicks(timeval{1704067200, 0}), 0);
    EXPECT_EQ(dhcpLeaseStartTick(), 0u);
}

TEST_F(ClockSet, FailedOrMissingSetterShiftsNothing)
{
    recordDhcpLeaseStart(900);
    EXPECT_EQ(setClockShiftingTicks(timeval{1704067200, 0}), -1) << "no setter registered";
    EXPECT_EQ(setCalls, 0);
    setClockSetter(refusingClock);
    EXPECT_EQ(setClockShiftingTicks(timeval{1704067200, 0}), -1);
    EXPECT_EQ(dhcpLeaseStartTick(), 900u);
}

} // namespace
