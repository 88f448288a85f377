#include "usbserver/usb_port_power.h"

#include "core/board/board_device.h"
#include "core/params/param_handles.h"
#include "core/task/tick_clock.h"
#include "usbserver/usb_server_task.h"
#include "support/board_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace {

std::atomic<uint64_t> ticks{0};

uint64_t testTicks()
{
    return ticks.load();
}

// A four-port model with port power switching on the simulated board; time
// is the test's once the board has started.
class UsbPortPower : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root_ = new boardtest::TempRoot(278, 353, 4);
        params::sw_features()->setChecked(0x7ff000);
        ASSERT_EQ(boardDevice().open(), 1);
        ASSERT_EQ(boardDevice().startUp(nullptr), 1);
        ticks.store(boardTicks() + 1000);
        setTickSourceForTest(testTicks);
    }
    static void TearDownTestSuite()
    {
        setTickSourceForTest(nullptr);
        boardDevice().close();
        delete root_;
    }
    static uint32_t ports() { return static_cast<uint32_t>(std::stoul(root_->state("power_lines"), nullptr, 0)) & 0xf; }
    static void pass(uint64_t elapsed)
    {
        ticks.fetch_add(elapsed);
        powerOnExpiredPorts();
    }

    static boardtest::TempRoot* root_;
};
boardtest::TempRoot* UsbPortPower::root_ = nullptr;

TEST_F(UsbPortPower, APortComesBackOnWhenItsTimeHasRunOut)
{
    ASSERT_EQ(ports(), 0xfu);
    powerOffPort(1, 100);
    EXPECT_EQ(ports(), 0xdu);
    pass(99);
    EXPECT_EQ(ports(), 0xdu) << "one tick early";
    pass(1);
    EXPECT_EQ(ports(), 0xfu);
    EXPECT_EQ(portPowerDeadline(1), 0u);

    // Each port keeps its own time; a second power-off moves the time on.
    powerOffPort(0, 50);
    powerOffPort(3, 200);
    pass(30);
    powerOffPort(0, 50);
    EXPECT_EQ(ports(), 0x6u);
    pass(40);
    EXPECT_EQ(ports(), 0x6u);
    pass(10);
    EXPECT_EQ(ports(), 0x7u);
    pass(120);
    EXPECT_EQ(ports(), 0xfu);

    // Indexes outside the table change nothing.
    powerOffPort(-1, 10);
    powerOffPort(kUsbPowerTimerPorts, 10);
    EXPECT_EQ(ports(), 0xfu);
}

TEST_F(UsbPortPower, TheSessionsPowerOffReachesThePort)
{
    // Without a hook of a test, a session's power cycle is a real one.
    setUsbPortPowerOff(nullptr);
    const int requests = usbPortPowerOffRequests();
    usbPortPowerOff(2, 100);
    EXPECT_EQ(usbPortPowerOffRequests(), requests + 1);
    EXPECT_EQ(ports(), 0xbu);
    pass(100);
    EXPECT_EQ(ports(), 0xfu);
}

} // namespace
