// The single LED of the simple driver: which pattern it shows, and the
// identify request by signal 57.
#include "core/board/blinker.h"

#include "core/board/board_device.h"
#include "support/board_test_support.h"
#include "core/params/param_handles.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

using boardtest::LoggedRequest;
using boardtest::RequestLog;
using boardtest::TempRoot;
using boardtest::waitUntil;

namespace {

constexpr uint32_t kDark = 0x3000000;
constexpr uint32_t kLit = 0x7000000;

std::vector<uint32_t> words(const std::string& bits)
{
    std::vector<uint32_t> out;
    for (char c : bits)
        out.push_back(c == '1' ? kLit : kDark);
    return out;
}

class BlinkerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.setSim("simple", "");
        ASSERT_EQ(board.open(), 1);
        ASSERT_EQ(board.startUp(nullptr), 1);
        ASSERT_FALSE(board.extendedDriver());
    }
    void TearDown() override
    {
        params::ip_addr()->set("", 0);
        setClientConnectedProbe(nullptr);
    }

    std::vector<uint32_t> run(Blinker& blinker, int steps)
    {
        std::vector<uint32_t> out;
        for (int i = 0; i < steps; ++i)
            out.push_back(blinker.step());
        return out;
    }

    TempRoot root{250, 300, 0};
    // The logging back-end passes everything to the simulated board and
    // keeps the LED words a running blinker wrote.
    BoardDevice board{boardtest::loggingDriver()};
};

bool ledWasDark()
{
    for (const LoggedRequest& r : RequestLog::instance().of(GPIO_SET_LED_WORD)) {
        if (r.words[0] == kDark)
            return true;
    }
    return false;
}

} // namespace

TEST_F(BlinkerTest, PatternFollowsTheAddress)
{
    ASSERT_NE(params::ip_addr()->set("198.18.0.5", -1), 0);
    Blinker usable(&board);
    EXPECT_EQ(run(usable, 12), words("000101000101"));
    EXPECT_EQ(usable.patternType(), 3);
    EXPECT_EQ(root.stateNumber("led_word"), kLit);

    params::ip_addr()->set("169.254.3.4", -1);
    Blinker linkLocal(&board);
    EXPECT_EQ(run(linkLocal, 8), words("00010101"));
    EXPECT_EQ(linkLocal.patternType(), 4);
}

TEST_F(BlinkerTest, IdentifyShowsForEightSteps)
{
    ASSERT_NE(params::ip_addr()->set("198.18.0.5", -1), 0);
    Blinker blinker(&board);
    EXPECT_EQ(run(blinker, 6), words("000101"));
    testSigHandler(kIdentifySignal);
    EXPECT_EQ(identifyCount(), 4);
    // Eight identify steps, then the address pattern from its start.
    EXPECT_EQ(run(blinker, 8), words("10101010"));
    EXPECT_EQ(identifyCount(), 0);
    EXPECT_EQ(run(blinker, 6), words("000101"));
    EXPECT_EQ(blinker.patternType(), 3);
}

TEST_F(BlinkerTest, ConnectedClientLightsTheLed)
{
    setClientConnectedProbe([] { return true; });
    Blinker blinker(&board);
    EXPECT_EQ(run(blinker, 6), words("111111"));
    EXPECT_EQ(blinker.patternType(), 2);
    setClientConnectedProbe(nullptr);
}

TEST_F(BlinkerTest, SignalReachesTheRunningBlinker)
{
    // With a client connected the LED is lit steadily: only the identify
    // pattern darkens it, so a dark word shows that the request came
    // through. The count alone would prove nothing: it is 0 before the
    // signal as well as after the pattern has run out.
    setClientConnectedProbe([] { return true; });
    ASSERT_GE(startBlinkerTask(&board), 0);
    // The signal's default action ends the process: send it only once the
    // task has installed its handler.
    ASSERT_TRUE(waitUntil([] {
        struct sigaction current;
        return sigaction(kIdentifySignal, nullptr, &current) == 0 && current.sa_handler == testSigHandler;
    }));
    RequestLog::instance().clear();
    ASSERT_TRUE(waitUntil([] { return RequestLog::instance().countOf(GPIO_SET_LED_WORD) > 0; }));
    EXPECT_FALSE(ledWasDark()) << "a connected client lights the LED steadily";
    ASSERT_EQ(kill(getpid(), kIdentifySignal), 0);
    EXPECT_TRUE(waitUntil(ledWasDark)) << "no identify pattern after the signal";
    EXPECT_TRUE(waitUntil([] { return identifyCount() == 0; })) << "the identify steps run out";
    TaskMessage stop{0, MSG_STOP, 0, 0};
    postToTaskNamed("Blinker", &stop);
    EXPECT_TRUE(waitUntil([] { return countRegisteredTasks() == 0; }));
}
