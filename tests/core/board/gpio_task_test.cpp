// "GPio" with the simulated board: the start sequence's port power groups and
// the buttons, pressed by writing into the button FIFOs as a test from
// outside the program would.
#include "core/board/gpio_task.h"

#include "core/board/board_device.h"
#include "support/board_test_support.h"
#include "core/product/model_features.h"
#include "core/params/param_handles.h"
#include "core/task/start_state.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <string>
#include <unistd.h>

using boardtest::LoggedRequest;
using boardtest::RequestLog;
using boardtest::TempRoot;
using boardtest::waitUntil;

namespace {

void setPortSwitchesHidden(int ports, bool hidden)
{
    for (int n = 1; n <= ports; ++n) {
        Param* p = ParamStore::findAny(("zyt_poff_" + std::to_string(n)).c_str());
        ASSERT_NE(p, nullptr);
        if (hidden)
            p->addFlags(kParamHidden);
        else
            p->removeFlags(kParamHidden);
    }
}

void setPortSwitch(int n, const char* value)
{
    Param* p = ParamStore::findAny(("zyt_poff_" + std::to_string(n)).c_str());
    ASSERT_NE(p, nullptr);
    p->set(value, -1);
}

// Port switch requests in the order the board saw them: +n on, -n off for
// the port numbered n (line n - 1).
std::vector<int> powerSequence(std::vector<uint64_t>* ticks = nullptr)
{
    std::vector<int> seq;
    for (const LoggedRequest& r : RequestLog::instance().ofAny({GPIO_LINES_ON, GPIO_LINES_OFF})) {
        int line = __builtin_ctz(r.words[0]);
        seq.push_back(r.request == GPIO_LINES_ON ? line + 1 : -(line + 1));
        if (ticks)
            ticks->push_back(r.tick);
    }
    return seq;
}

void stopGpioTask()
{
    TaskMessage stop{0, MSG_STOP, 0, 0};
    postToTaskNamed("GPio", &stop);
    EXPECT_TRUE(waitUntil([] { return countRegisteredTasks() == 0; }));
}

// Opens a button FIFO for writing once the program holds it open.
int openButtonWriter(const TempRoot& root, int button)
{
    std::string path = root.path("/dev/button" + std::to_string(button));
    int fd = -1;
    waitUntil([&] {
        fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        return fd >= 0;
    });
    return fd;
}

void press(const TempRoot& root, int button, const std::string& bytes)
{
    int fd = openButtonWriter(root, button);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

class GpioTaskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        params::button_cnt()->setValue(0);
        params::sw_features()->setValue(0);
        setExitCode(0);
    }
    void TearDown() override
    {
        if (countRegisteredTasks() > 0)
            stopGpioTask();
    }
};

} // namespace

TEST_F(GpioTaskTest, PortsArePoweredInGroupsHalfASecondApart)
{
    TempRoot root(209, 300, 10);
    setPortSwitchesHidden(10, false);
    for (int n = 1; n <= 10; ++n)
        setPortSwitch(n, "off");
    setPortSwitch(3, "on");  // the third port stays off
    RequestLog::instance().clear();
    BoardDevice board(boardtest::loggingDriver());
    ASSERT_EQ(board.open(), 1);
    ASSERT_GE(startGpioTask(&board), 0);
    ASSERT_TRUE(waitUntil([&] { return board.started(); }));

    std::vector<uint64_t> ticks;
    std::vector<int> seq = powerSequence(&ticks);
    const std::vector<int> expected = {1, -3, 5, 7, 9, 2, 4, 6, 8, 10};
    EXPECT_EQ(seq, expected);
    ASSERT_EQ(ticks.size(), 10u);
    EXPECT_GE(ticks[5] - ticks[4], 50u) << "no pause between the two groups";
    EXPECT_EQ(root.stateNumber("power_lines"), 0x3fbu);
    stopGpioTask();
    setPortSwitch(3, "off");
}

TEST_F(GpioTaskTest, HiddenPortSwitchesPowerOnlyTheListedModels)
{
    setPortSwitchesHidden(4, true);
    for (uint32_t product : {346u, 300u}) {
        TempRoot root(209, product, 4);
        RequestLog::instance().clear();
        BoardDevice board(boardtest::loggingDriver());
        ASSERT_EQ(board.open(), 1);
        ASSERT_EQ(board.startUp(nullptr), 1);
        std::vector<int> seq = powerSequence();
        if (product == 346)
            EXPECT_EQ(seq, (std::vector<int>{1, 2, 3, 4})) << product;
        else
            EXPECT_TRUE(seq.empty()) << product;
    }
    setPortSwitchesHidden(4, false);
}

TEST_F(GpioTaskTest, ShortPressesAreCounted)
{
    TempRoot root(209, 300, 0);
    root.setSim("buttons", "0x3");
    BoardDevice board(boardtest::loggingDriver());
    ASSERT_EQ(board.open(), 1);
    ASSERT_GE(startGpioTask(&board), 0);

    struct Case {
        int button;
        std::string bytes;
        int shortPresses;  // of that button, in total so far
        int counted;       // button_cnt so far
    };
    const Case cases[] = {
        {0, "0", 1, 1},
        {1, "0", 1, 2},
        {0, "x0y", 2, 5},                 // other characters count as looked at
        {0, std::string("0\0" "0", 3), 3, 6},  // the scan ends at a NUL
        {1, std::string(32, '0'), 33, 38},     // a full read has no terminator
        {1, std::string(40, '0'), 73, 78},     // more than one read's worth
    };
    for (const Case& c : cases) {
        press(root, c.button, c.bytes);
        EXPECT_TRUE(waitUntil([&] { return params::button_cnt()->value() == c.counted; }))
            << "button_cnt " << params::button_cnt()->value() << " after " << c.bytes.size() << " bytes";
        EXPECT_EQ(board.shortPresses(c.button), c.shortPresses);
    }
    EXPECT_EQ(board.longPresses(0) + board.longPresses(1), 0);
    EXPECT_EQ(exitCode(), 0);
    stopGpioTask();
}

TEST_F(GpioTaskTest, StoppedDuringTheLedTestStillFinishesStartUp)
{
    TempRoot root(250, 300, 8);
    BoardDevice board(boardtest::loggingDriver());
    ASSERT_EQ(board.open(), 1);
    ASSERT_GE(startGpioTask(&board), 0);
    // The LED test waits on the task's messages: the stop ends the task there.
    stopGpioTask();
    EXPECT_TRUE(board.started());
}

TEST_F(GpioTaskTest, InputOnAForeignDescriptorIsLeftAlone)
{
    TempRoot root(209, 300, 0);
    BoardDevice board(boardtest::loggingDriver());
    auto* task = new GpioTask(&board);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "1111", 4), 4);
    EXPECT_EQ(task->onButton(fds[0]), 0);
    EXPECT_EQ(task->onButton(-1), 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(board.shortPresses(i), 0);
        EXPECT_EQ(board.longPresses(i), 0);
    }
    EXPECT_EQ(params::button_cnt()->value(), 0);
    char buf[8];
    EXPECT_EQ(read(fds[0], buf, sizeof buf), 4);
    close(fds[0]);
    close(fds[1]);
    delete task;
}

namespace {

// A long press removes the parameter file, sets the exit code and starts the
// stop sequence, which ends every task.
void longPressOn(uint32_t boardType, int expectedExitCode)
{
    signal(SIGTERM, SIG_IGN);
    TempRoot root(boardType, 300, 0);
    std::string paramFile = root.path("/etc/params.dat");
    close(::open(paramFile.c_str(), O_CREAT | O_WRONLY, 0600));
    params::sw_features()->setValue(kFeatureBeeper);
    BoardDevice board(boardtest::loggingDriver());
    ASSERT_EQ(board.open(), 1);
    int stopsBefore = shutdownRequests();
    ASSERT_GE(startGpioTask(&board), 0);

    press(root, 0, "01");
    ASSERT_TRUE(waitUntil([&] { return board.longPresses(0) == 1; }));
    EXPECT_EQ(board.shortPresses(0), 1);
    ASSERT_TRUE(waitUntil([&] { return shutdownRequests() > stopsBefore; }));
    // Only the first stop of a process ends the tasks; in a later test of
    // the same process "GPio" is stopped here.
    stopGpioTask();
    EXPECT_NE(access(paramFile.c_str(), F_OK), 0) << "the parameter file is still there";
    EXPECT_EQ(exitCode(), expectedExitCode);
    EXPECT_EQ(params::button_cnt()->value(), 2);
    if (boardType != kBoardDisplay) {
        // The second LED of every port that has one blinks at 6 Hz.
        EXPECT_EQ(root.stateNumber("leds_blinking") & 0xffff0000u, 0xffff0000u);
        EXPECT_EQ(root.state("led.16"), "1 3 1 166");
    }
    signal(SIGTERM, SIG_DFL);
}

} // namespace

TEST_F(GpioTaskTest, LongPressResetsAndRestartsCold)
{
    longPressOn(250, 2);
}

TEST_F(GpioTaskTest, LongPressOnTheDisplayBoardKeepsExitCodeZero)
{
    longPressOn(kBoardDisplay, 0);
}
