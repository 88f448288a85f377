#include "core/board/board_device.h"

#include "support/board_test_support.h"
#include "core/product/model_features.h"
#include "core/params/param_handles.h"

#include <gtest/gtest.h>

using boardtest::LoggedRequest;
using boardtest::RequestLog;
using boardtest::TempRoot;

namespace {

struct Bits {
    uint32_t first;
    uint32_t second;
};

// A board over the logging back-end in a fresh root; started when asked
// (the start sequence finds the extended driver and its LEDs).
class BoardFixture {
public:
    BoardFixture(uint32_t boardType, uint32_t ports = 0, const char* leds = nullptr)
        : root(boardType, 300, ports)
    {
        if (leds)
            root.setSim("leds", leds);
        RequestLog::instance().clear();
        board = std::make_unique<BoardDevice>(boardtest::loggingDriver());
        EXPECT_EQ(board->open(), 1);
    }
    void start()
    {
        ASSERT_EQ(board->startUp(nullptr), 1);
        RequestLog::instance().clear();
    }
    size_t sent(unsigned long request) { return RequestLog::instance().countOf(request); }
    LoggedRequest last(unsigned long request)
    {
        auto all = RequestLog::instance().of(request);
        EXPECT_FALSE(all.empty());
        return all.empty() ? LoggedRequest{} : all.back();
    }

    TempRoot root;
    std::unique_ptr<BoardDevice> board;
};

} // namespace

TEST(PortLedMap, BitsPerBoardAndPort)
{
    struct Case {
        uint32_t board;
        int port;
        uint32_t available;
        Bits expected;
    };
    const uint32_t all = 0xffffffffu;
    const Case cases[] = {
        // One LED boards: the address LED stands for the first port only.
        {209, 0, all, {2, 0}},
        {212, 0, 0, {2, 0}},
        {271, 1, all, {0, 0}},
        {283, 0, all, {2, 0}},
        // Paired boards, masked with the available LEDs.
        {248, 0, all, {1, 2}},
        {254, 3, all, {0x40, 0x80}},
        {262, 2, 0x10, {0x10, 0}},
        {267, 0, all, {1, 2}},
        {267, 1, all, {2, 8}},   // its second port's first LED is bit 1
        {248, 15, all, {1u << 30, 1u << 31}},
        {248, 16, all, {0, 0}},  // beyond the word: no LED
        // Shifted by one pair.
        {253, 0, all, {4, 8}},
        {263, 14, all, {1u << 30, 1u << 31}},
        {263, 15, all, {0, 0}},
        // Every other board.
        {250, 0, 0, {0x100, 0x10000}},
        {278, 15, all, {0x800000, 0x80000000}},
        {250, 16, all, {0x1000000, 0}},
        {250, 23, all, {0x80000000, 0}},
        {250, 24, all, {0, 0}},
        {250, 31, all, {0, 0}},
        {250, -1, all, {0, 0}},
        {209, -1, all, {0, 0}},
    };
    for (const Case& c : cases) {
        PortLedBits bits = portLedBits(c.board, c.port, c.available);
        EXPECT_EQ(bits.first, c.expected.first) << "board " << c.board << " port " << c.port;
        EXPECT_EQ(bits.second, c.expected.second) << "board " << c.board << " port " << c.port;
    }
}

TEST(BoardPortLeds, RecordsAndRefusals)
{
    // Port 0 has both LEDs, port 1 only its first one, port 2 none.
    BoardFixture f(250, 0, "0x10300");
    f.start();
    EXPECT_EQ(f.board->availableLeds(), 0x10300u);

    struct Case {
        int port, type, hz, result;
        uint32_t words[5];  // record sent; all zero = nothing sent
    };
    const Case cases[] = {
        {0, 3, 0, 1, {0x10100, 0x10100, 0, 0, 0}},
        {0, 1, 0, 1, {0x10100, 0x100, 0, 0, 0}},
        {0, 0, 0, 1, {0x10100, 0, 0, 0, 0}},
        {1, 2, 0, 1, {0x20200, 0x20000, 0, 0, 0}},
        {0, 2, 4, 1, {0x10000, 1, 3, 1, 250}},
        {0, 3, 6, 1, {0x10100, 1, 3, 1, 166}},
        {1, 2, 6, 0, {}},   // blinking LED that is not there
        {0, 5, 4, 0, {}},   // a type that names no LED
        {0, 4, 0, 0, {}},
        {2, 1, 0, 0, {}},   // no available LED
        {-1, 1, 0, 0, {}},
        {24, 1, 0, 0, {}},  // beyond the word
        {31, 2, 6, 0, {}},
    };
    for (const Case& c : cases) {
        RequestLog::instance().clear();
        EXPECT_EQ(f.board->setPortLed(c.port, c.type, c.hz), c.result) << "port " << c.port << " type " << c.type;
        if (c.result == 0) {
            EXPECT_EQ(f.sent(GPIO_SET_LED_PATTERN), 0u) << "port " << c.port << " type " << c.type;
            continue;
        }
        LoggedRequest r = f.last(GPIO_SET_LED_PATTERN);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(r.words[i], c.words[i]) << "port " << c.port << " type " << c.type << " word " << i;
    }
}

TEST(BoardPortLeds, StateOfAPort)
{
    BoardFixture f(250, 0, "0x10300");
    f.start();
    const struct {
        int type;
        int state;
    } cases[] = {{3, 3}, {1, 1}, {2, 2}, {0, 0}};
    for (const auto& c : cases) {
        ASSERT_EQ(f.board->setPortLed(0, c.type, 0), 1);
        EXPECT_EQ(f.board->portLedState(0), c.state) << "type " << c.type;
    }
    // A port without LEDs is dark and asks the driver nothing.
    RequestLog::instance().clear();
    EXPECT_EQ(f.board->portLedState(24), 0);
    EXPECT_EQ(f.sent(GPIO_GET_LED_STATE), 0u);
    // A failed request is no lit LED.
    ASSERT_EQ(f.board->setPortLed(0, 3, 0), 1);
    f.root.setSim("fail", "0x80040ac5");
    EXPECT_EQ(f.board->portLedState(0), 0);
}

TEST(BoardPortLeds, SingleLedBoardPortStateNeedsTheLedLit)
{
    BoardFixture f(209);
    f.start();
    EXPECT_EQ(f.board->portLedState(0), 0);
    ASSERT_EQ(f.board->setPortLed(0, 1, 0), 1);
    EXPECT_EQ(f.board->portLedState(0), 3);
    EXPECT_EQ(f.board->portLedState(1), 0);
}

TEST(BoardPortLeds, DisplayBoardRecordWords)
{
    BoardFixture f(278);
    struct Case {
        int port, type, result;
        int pair;            // 0: ports 0-4 in words 0/3, 1: ports 5+ in words 1/4
        uint32_t mask, lit;
    };
    const Case cases[] = {
        {0, 1, 1, 0, 1u << 16 | 1u << 8, 1u << 8},
        {4, 2, 1, 0, 1u << 20 | 1u << 12, 1u << 20},
        {3, 0, 1, 0, 1u << 19 | 1u << 11, 0},
        {5, 3, 1, 1, 1u << 16 | 1u << 0, 1u << 16},
        {20, 1, 1, 1, 1u << 31 | 1u << 15, 1u << 15},
        {21, 2, 1, 1, 1u << 16, 0},  // its A LED would lie beyond the word
        {37, 1, 0, 0, 0, 0},
        {-1, 1, 0, 0, 0, 0},
        {2, 4, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        RequestLog::instance().clear();
        EXPECT_EQ(f.board->setPortLed(c.port, c.type, 0), c.result) << "port " << c.port;
        if (c.result == 0) {
            EXPECT_EQ(f.sent(GPIO_SET_PORT_DISPLAY), 0u) << "port " << c.port;
            continue;
        }
        LoggedRequest r = f.last(GPIO_SET_PORT_DISPLAY);
        int other = 1 - c.pair;
        EXPECT_EQ(r.words[c.pair], c.mask) << "port " << c.port;
        EXPECT_EQ(r.words[c.pair + 3], c.lit) << "port " << c.port;
        EXPECT_EQ(r.words[other], 0u);
        EXPECT_EQ(r.words[other + 3], 0u);
        for (int i : {2, 5, 6, 7, 8})
            EXPECT_EQ(r.words[i], 0u) << "port " << c.port << " word " << i;
    }
    EXPECT_EQ(f.root.state("port_leds"), "0x00100100 0x00008000");
}

TEST(BoardPower, LinesAndRelay)
{
    BoardFixture f(250);
    // Before the start sequence the driver kind is unknown: nothing is switched.
    EXPECT_EQ(f.board->setPortPower(1, 1), 0);
    EXPECT_EQ(f.sent(GPIO_LINES_ON), 0u);
    f.start();
    EXPECT_EQ(f.board->setPortPower(3, 1), 1);
    EXPECT_EQ(f.root.stateNumber("power_lines"), 0x8u);
    EXPECT_EQ(f.board->setPortPower(3, 0), 1);
    EXPECT_EQ(f.root.stateNumber("power_lines"), 0u);
    EXPECT_EQ(f.board->setPortPower(32, 1), 1);
    EXPECT_EQ(f.last(GPIO_LINES_ON).words[0], 0u);
    RequestLog::instance().clear();
    EXPECT_EQ(f.board->setPortPower(-1, 1), 0);
    EXPECT_EQ(f.sent(GPIO_LINES_ON), 0u);

    params::sw_features()->setValue(0);
    f.board->setRelay(1);
    EXPECT_EQ(f.sent(GPIO_LINES_ON) + f.sent(GPIO_LINES_OFF), 0u);
    params::sw_features()->setValue(kFeatureRelay);
    f.board->setRelay(0);
    EXPECT_EQ(f.root.state("relay_line"), "1");
    f.board->setRelay(1);
    EXPECT_EQ(f.root.state("relay_line"), "0");
    params::sw_features()->setValue(0);

    f.board->close();
    EXPECT_EQ(f.board->setPortPower(3, 1), 0);
}

TEST(BoardPower, SimpleDriverHasNoSwitches)
{
    TempRoot root(250, 300, 4);
    root.setSim("simple", "");
    RequestLog::instance().clear();
    BoardDevice board(boardtest::loggingDriver());
    ASSERT_EQ(board.open(), 1);
    EXPECT_EQ(board.startUp(nullptr), 1);
    EXPECT_FALSE(board.extendedDriver());
    auto words = RequestLog::instance().of(GPIO_SET_LED_WORD);
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0].words[0], 0x228u);
    EXPECT_EQ(words[1].words[0], 0x3000000u);
    EXPECT_EQ(board.setPortPower(0, 1), 0);
    EXPECT_EQ(board.setPortLed(0, 1, 0), 0);
    EXPECT_EQ(board.blinkPatternA(), 0);
    EXPECT_EQ(RequestLog::instance().countOf(GPIO_LINES_ON), 0u);
    EXPECT_EQ(RequestLog::instance().countOf(GPIO_SET_LED_PATTERN), 0u);
}

TEST(BoardStartUp, FinishedOnEveryPath)
{
    {
        // "/dev/gpio" cannot be opened: no start sequence will ever run.
        TempRoot root(250, 300, 4);
        root.setSim("fail", "gpio");
        BoardDevice board(boardtest::loggingDriver());
        EXPECT_FALSE(board.started());
        EXPECT_EQ(board.open(), 0);
        EXPECT_FALSE(board.isOpen());
        EXPECT_TRUE(board.started());
        EXPECT_EQ(board.startUp(nullptr), 0);
        EXPECT_EQ(board.ioctlLocked(GPIO_GET_SUPPLY_INPUTS, static_cast<void*>(nullptr)), -1);
        EXPECT_EQ(board.close(), 0);
    }
    {
        // The LED capabilities cannot be read.
        TempRoot root(250, 300, 4);
        root.setSim("fail", "0x80140ac9");
        RequestLog::instance().clear();
        BoardDevice board(boardtest::loggingDriver());
        ASSERT_EQ(board.open(), 1);
        EXPECT_FALSE(board.started());
        EXPECT_EQ(board.startUp(nullptr), 0);
        EXPECT_TRUE(board.started());
        EXPECT_EQ(RequestLog::instance().countOf(GPIO_LINES_ON), 0u);
        EXPECT_EQ(root.state("button_timing"), "0 0");
    }
    {
        // The hardware word cannot be read.
        TempRoot root(250, 300, 4);
        root.setSim("fail", "0x80040ac1");
        BoardDevice board(boardtest::loggingDriver());
        ASSERT_EQ(board.open(), 1);
        EXPECT_EQ(board.startUp(nullptr), 0);
        EXPECT_TRUE(board.started());
    }
    {
        // Start-up of a board that was never opened.
        TempRoot root(250, 300, 4);
        BoardDevice board(boardtest::loggingDriver());
        EXPECT_EQ(board.startUp(nullptr), 0);
        EXPECT_TRUE(board.started());
    }
}

TEST(BoardStartUp, ButtonSetup)
{
    {
        TempRoot root(250, 300, 0);
        root.setSim("buttons", "0x3");
        BoardDevice board(boardtest::loggingDriver());
        ASSERT_EQ(board.open(), 1);
        ASSERT_EQ(board.startUp(nullptr), 1);
        EXPECT_TRUE(board.started());
        EXPECT_EQ(board.buttonMask(), 0x3u);
        EXPECT_EQ(root.state("button_timing"), "3500 3550");
    }
    {
        // Without the control device every button device is tried.
        TempRoot root(250, 300, 0);
        root.setSim("fail", "button");
        BoardDevice board(boardtest::loggingDriver());
        ASSERT_EQ(board.open(), 1);
        ASSERT_EQ(board.startUp(nullptr), 1);
        EXPECT_EQ(board.buttonMask(), 0xffffffffu);
    }
}

TEST(BoardClose, FlashesTheLedsOnce)
{
    BoardFixture f(250, 0, "0x10300");
    f.start();
    EXPECT_EQ(f.board->close(), 1);
    LoggedRequest r = f.last(GPIO_SET_LED_PATTERN);
    const uint32_t expected[5] = {0x10300, 1, 3, 0, 300};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(r.words[i], expected[i]) << i;
    EXPECT_EQ(f.root.state("gpio_open"), "0");
    EXPECT_EQ(f.board->close(), 0);
}

TEST(BoardLeds, ActivityFlashIsSentAgainOnlyOnceTheLastOneIsOld)
{
    BoardFixture f(250);
    f.start();
    const size_t before = f.sent(GPIO_SET_LED_PATTERN);
    struct Step {
        uint64_t now;
        size_t sentSoFar;
    };
    const uint64_t r = BoardDevice::kActivityRepeatTicks;
    const Step steps[] = {
        {1000, 1},          // the first flash
        {1000, 1},          // events of the same moment
        {1000 + r - 1, 1},  // still lit
        {1000 + r, 2},      // old: sent again
        {1000 + r, 2},
        {500, 3},           // a clock that went back is no reason to stay dark
        {500 + r + 7, 4},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(f.board->blinkActivity(s.now), 1) << s.now;
        EXPECT_EQ(f.sent(GPIO_SET_LED_PATTERN) - before, s.sentSoFar) << "at tick " << s.now;
    }
    LoggedRequest last = f.last(GPIO_SET_LED_PATTERN);
    EXPECT_EQ(last.words[0], 1u);
    EXPECT_EQ(last.words[4], 100u);
}

TEST(BoardLeds, FunctionLedPatterns)
{
    BoardFixture f(250);
    f.start();
    struct Case {
        int (*call)(BoardDevice&);
        uint32_t words[5];
    };
    const Case cases[] = {
        {[](BoardDevice& b) { return b.blinkFast(); }, {1, 1, 3, 0, 100}},
        {[](BoardDevice& b) { return b.blinkPatternA(); }, {2, 5, 1023, 1, 250}},
        {[](BoardDevice& b) { return b.blinkPatternB(); }, {2, 21, 1023, 1, 250}},
        {[](BoardDevice& b) { return b.setStatusLed(1); }, {8, 204, 255, 1, 0}},
        {[](BoardDevice& b) { return b.setStatusLed(2); }, {8, 8, 0, 0, 0}},
        {[](BoardDevice& b) { return b.setStatusLed(3); }, {8, 170, 255, 1, 0}},
        {[](BoardDevice& b) { return b.setStatusLed(7); }, {8, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(*f.board), 1);
        LoggedRequest r = f.last(GPIO_SET_LED_PATTERN);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(r.words[i], c.words[i]) << "word " << i << " of pattern " << c.words[1];
    }
    EXPECT_EQ(f.root.state("led.1"), "21 1023 1 250");
    EXPECT_EQ(f.root.state("leds_on"), "0x00000000");
}
