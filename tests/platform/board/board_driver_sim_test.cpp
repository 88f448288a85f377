#include "platform/board/board_driver.h"

#include "support/sim_board_root.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

using boardtest::SimBoardRoot;

namespace {

const BoardDriverOps& sim = simBoardDriverOps;

int openGpio()
{
    return sim.open(boxPath("/dev/gpio").c_str(), O_RDWR);
}

int request(int fd, unsigned long req, uint32_t value)
{
    return sim.ioctl(fd, req, reinterpret_cast<uintptr_t>(&value));
}

uint32_t readWord(int fd, unsigned long req)
{
    uint32_t value = 0xdeadbeef;
    EXPECT_EQ(sim.ioctl(fd, req, reinterpret_cast<uintptr_t>(&value)), 0) << std::hex << req;
    return value;
}

int sendRecord(int fd, unsigned long req, BoardRecord rec)
{
    return sim.ioctl(fd, req, reinterpret_cast<uintptr_t>(&rec));
}

} // namespace

TEST(BoardDriverChoice, CharacterDeviceMeansTheKernelDriver)
{
    SimBoardRoot root(250);
    std::string plain = root.path("/plain");
    close(::open(plain.c_str(), O_CREAT | O_WRONLY, 0644));
    EXPECT_EQ(&selectBoardDriver("/dev/null"), &realBoardDriverOps);
    EXPECT_EQ(&selectBoardDriver(plain.c_str()), &simBoardDriverOps);
    EXPECT_EQ(&selectBoardDriver(root.path("/dev/gpio").c_str()), &simBoardDriverOps);
    EXPECT_EQ(&selectBoardDriver(nullptr), &simBoardDriverOps);
}

TEST(SimulatedBoard, OutputLinesRelayAndBeeperPulses)
{
    SimBoardRoot root(278);
    int fd = openGpio();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(root.state("gpio_open"), "1");
    EXPECT_EQ(root.state("driver"), "extended");
    EXPECT_EQ(root.state("power_lines"), "0x00000000");

    EXPECT_EQ(request(fd, GPIO_LINES_ON, 0x5), 0);
    EXPECT_EQ(root.stateNumber("power_lines"), 0x5u);
    EXPECT_EQ(request(fd, GPIO_LINES_OFF, 0x1), 0);
    EXPECT_EQ(root.stateNumber("power_lines"), 0x4u);

    EXPECT_EQ(request(fd, GPIO_LINES_ON, 1u << 29), 0);
    EXPECT_EQ(root.state("relay_line"), "1");
    EXPECT_EQ(request(fd, GPIO_LINES_OFF, 1u << 29), 0);
    EXPECT_EQ(root.state("relay_line"), "0");

    // The display board's beeper is line 31; switching it on while it is on
    // is no new pulse.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(request(fd, GPIO_LINES_ON, 1u << 31), 0);
        EXPECT_EQ(request(fd, GPIO_LINES_ON, 1u << 31), 0);
        EXPECT_EQ(request(fd, GPIO_LINES_OFF, 1u << 31), 0);
    }
    EXPECT_EQ(root.state("beeps"), "2");
    EXPECT_EQ(sim.close(fd), 0);
    EXPECT_EQ(root.state("gpio_open"), "0");
}

TEST(SimulatedBoard, BeeperLineIsTheOneOfTheBoardHandedIn)
{
    struct Case {
        uint32_t board;
        uint32_t beeper;
        uint32_t other;
    };
    for (const Case& c : {Case{278, 31, 0}, Case{250, 0, 31}, Case{0, 0, 31}}) {
        SimBoardRoot root(c.board);
        int fd = openGpio();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(request(fd, GPIO_LINES_ON, 1u << c.other), 0);
        EXPECT_EQ(request(fd, GPIO_LINES_OFF, 1u << c.other), 0);
        EXPECT_EQ(root.state("beeps"), "0") << "board " << c.board << ", line " << c.other;
        EXPECT_EQ(request(fd, GPIO_LINES_ON, 1u << c.beeper), 0);
        EXPECT_EQ(root.state("beeps"), "1") << "board " << c.board << ", line " << c.beeper;
        EXPECT_EQ(sim.close(fd), 0);
    }
}

TEST(SimulatedBoard, LedPatternsAndState)
{
    SimBoardRoot root(250);
    int fd = openGpio();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sendRecord(fd, GPIO_SET_LED_PATTERN, {{0x300, 0x100, 0, 0, 0}}), 0);
    EXPECT_EQ(root.stateNumber("leds_on"), 0x100u);
    EXPECT_EQ(sendRecord(fd, GPIO_SET_LED_PATTERN, {{0x2, 5, 1023, 1, 250}}), 0);
    EXPECT_EQ(root.state("led.1"), "5 1023 1 250");
    EXPECT_EQ(root.stateNumber("leds_blinking"), 0x2u);
    // A one-shot flash leaves the LED dark afterwards.
    EXPECT_EQ(sendRecord(fd, GPIO_SET_LED_PATTERN, {{0x1, 1, 3, 0, 100}}), 0);
    EXPECT_EQ(root.state("led.0"), "1 3 0 100");

    BoardRecord query = {{0x303, 0, 0, 0, 0}};
    EXPECT_EQ(sim.ioctl(fd, GPIO_GET_LED_STATE, reinterpret_cast<uintptr_t>(&query)), 0);
    EXPECT_EQ(query.word[0], 0x102u);

    // A steady setting ends the pattern of its LEDs.
    EXPECT_EQ(sendRecord(fd, GPIO_SET_LED_PATTERN, {{0x2, 0, 0, 0, 0}}), 0);
    EXPECT_EQ(root.state("led.1"), "");
    EXPECT_EQ(root.stateNumber("leds_blinking"), 0u);

    BoardRecord caps = {{0xffffffffu, 0, 0, 0, 0}};
    EXPECT_EQ(sim.ioctl(fd, GPIO_GET_LED_CAPS, reinterpret_cast<uintptr_t>(&caps)), 0);
    EXPECT_EQ(caps.word[0], 0xffffffffu);
    root.setSim("leds", "0x0f0f\n");
    EXPECT_EQ(sim.ioctl(fd, GPIO_GET_LED_CAPS, reinterpret_cast<uintptr_t>(&caps)), 0);
    EXPECT_EQ(caps.word[0], 0x0f0fu);
    sim.close(fd);
}

TEST(SimulatedBoard, DisplayTextAndSegments)
{
    SimBoardRoot root(278);
    int fd = openGpio();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(root.state("display"), "--");
    uint32_t text = uint32_t('E') << 24 | uint32_t('1') << 8 | '.';
    EXPECT_EQ(sendRecord(fd, GPIO_SET_DISPLAY, {{text, 11, 15, 1, 200}}), 0);
    EXPECT_EQ(root.state("display"), "E1");
    EXPECT_EQ(root.state("display_points"), "01");
    EXPECT_EQ(root.state("display_blink"), "11 15 1 200");

    PortDisplayRecord rec = {{0x10100, 0x3, 0x7fff7fff, 0x10000, 0x1, 0x7fff6dff, 0, 0, 0}};
    EXPECT_EQ(sim.ioctl(fd, GPIO_SET_PORT_DISPLAY, reinterpret_cast<uintptr_t>(&rec)), 0);
    EXPECT_EQ(root.state("port_leds"), "0x00010000 0x00000001");
    EXPECT_EQ(root.state("display_segments"), "0xffffedff");
    sim.close(fd);
}

TEST(SimulatedBoard, InputsAreReadAtEachRequest)
{
    SimBoardRoot root(250);
    int fd = openGpio();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(readWord(fd, GPIO_GET_SUPPLY_INPUTS), 3u);
    root.setSim("supply", "1\n");
    EXPECT_EQ(readWord(fd, GPIO_GET_SUPPLY_INPUTS), 1u);
    root.setSim("supply", "0x2");
    EXPECT_EQ(readWord(fd, GPIO_GET_SUPPLY_INPUTS), 2u);
    EXPECT_EQ(readWord(fd, GPIO_GET_CARD_READER), 0u);
    root.setSim("card", "1");
    EXPECT_EQ(readWord(fd, GPIO_GET_CARD_READER), 1u);

    uint64_t t1 = 0, t2 = 0;
    EXPECT_EQ(sim.ioctl(fd, GPIO_GET_TICKS, reinterpret_cast<uintptr_t>(&t1)), 0);
    EXPECT_EQ(sim.ioctl(fd, GPIO_GET_TICKS, reinterpret_cast<uintptr_t>(&t2)), 0);
    EXPECT_GE(t2, t1);

    uint32_t probe = 0;
    EXPECT_EQ(sim.ioctl(fd, GPIO_PROBE_SIMPLE, reinterpret_cast<uintptr_t>(&probe)), -1);
    EXPECT_EQ(errno, ENOTTY);
    sim.close(fd);
}

TEST(SimulatedBoard, InjectedFailures)
{
    SimBoardRoot root(250);
    root.setSim("fail", "gpio\n");
    errno = 0;
    EXPECT_EQ(openGpio(), -1);
    EXPECT_EQ(errno, ENODEV);

    root.setSim("fail", "0x80140ac9 button\n");
    int fd = openGpio();
    ASSERT_GE(fd, 0);
    BoardRecord caps = {{0xffffffffu, 0, 0, 0, 0}};
    EXPECT_EQ(sim.ioctl(fd, GPIO_GET_LED_CAPS, reinterpret_cast<uintptr_t>(&caps)), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(readWord(fd, GPIO_GET_HARDWARE_WORD), 0u);
    EXPECT_EQ(sim.open(boxPath("/dev/button").c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, ENODEV);
    sim.close(fd);

    EXPECT_EQ(sim.open(boxPath("/dev/nothing").c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    uint32_t value = 0;
    EXPECT_EQ(sim.ioctl(pipeFds[0], GPIO_GET_SUPPLY_INPUTS, reinterpret_cast<uintptr_t>(&value)), -1);
    EXPECT_EQ(errno, EBADF);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(SimulatedBoard, SimpleDriverAnswersOnlyItsRequests)
{
    SimBoardRoot root(250);
    root.setSim("simple", "");
    int fd = openGpio();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(root.state("driver"), "simple");
    EXPECT_EQ(readWord(fd, GPIO_PROBE_SIMPLE), 0u);
    EXPECT_EQ(sim.ioctl(fd, GPIO_SET_LED_WORD, 0x4000000 | 0x3000000), 0);
    EXPECT_EQ(root.state("led_word"), "0x07000000");
    EXPECT_EQ(request(fd, GPIO_LINES_ON, 1), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(sendRecord(fd, GPIO_SET_LED_PATTERN, {{1, 1, 0, 0, 0}}), -1);
    EXPECT_EQ(errno, ENOTTY);
    sim.close(fd);
}

TEST(SimulatedBoard, FreshSessionStartsFromPowerUpState)
{
    SimBoardRoot root(250);
    int fd = openGpio();
    ASSERT_GE(fd, 0);
    request(fd, GPIO_LINES_ON, 0xf);
    sim.close(fd);
    EXPECT_EQ(root.state("power_lines"), "0x0000000f");
    fd = openGpio();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(root.state("power_lines"), "0x00000000");
    EXPECT_EQ(root.state("gpio_open"), "1");
    sim.close(fd);
}

TEST(SimulatedBoard, ButtonControlAndFifos)
{
    SimBoardRoot root(250);
    int ctl = sim.open(boxPath("/dev/button").c_str(), O_RDWR);
    ASSERT_GE(ctl, 0);
    BoardRecord caps = {{0xffffffffu, 0, 0, 0, 0}};
    EXPECT_EQ(sim.ioctl(ctl, BUTTON_GET_CAPS, reinterpret_cast<uintptr_t>(&caps)), 0);
    EXPECT_EQ(caps.word[0], 0x1u);
    root.setSim("buttons", "0x5");
    EXPECT_EQ(sim.ioctl(ctl, BUTTON_GET_CAPS, reinterpret_cast<uintptr_t>(&caps)), 0);
    EXPECT_EQ(caps.word[0], 0x5u);
    EXPECT_EQ(sendRecord(ctl, BUTTON_SET_TIMING, {{0, 0, 3500, 3550, 0}}), 0);
    EXPECT_EQ(root.state("button_timing"), "3500 3550");
    sim.close(ctl);

    EXPECT_EQ(sim.open(boxPath("/dev/button4").c_str(), O_RDONLY), -1);
    int fd = sim.open(boxPath("/dev/button2").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(stat(root.path("/dev/button2").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    int ep = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ASSERT_EQ(epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev), 0);

    int writer = ::open(root.path("/dev/button2").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "01", 2), 2);
    close(writer);
    epoll_event got{};
    ASSERT_EQ(epoll_wait(ep, &got, 1, 1000), 1);
    EXPECT_TRUE(got.events & EPOLLIN);
    EXPECT_FALSE(got.events & EPOLLHUP);
    char buf[8];
    EXPECT_EQ(sim.read(fd, buf, sizeof buf), 2);
    EXPECT_EQ(std::string(buf, 2), "01");
    // The writer is gone: no hang-up, nothing to read.
    EXPECT_EQ(epoll_wait(ep, &got, 1, 0), 0);
    close(ep);
    sim.close(fd);
}

namespace {

ino_t stateInode(const SimBoardRoot& root)
{
    struct stat st;
    EXPECT_EQ(stat(root.path("/dev/gpio.sim/state").c_str(), &st), 0);
    return st.st_ino;
}

} // namespace

TEST(SimulatedBoard, StateFileIsRewrittenOnlyWhenAnOutputChanges)
{
    SimBoardRoot root(250);
    int fd = openGpio();
    ASSERT_GE(fd, 0);
    // The activity flash every USB transfer sends: the first one changes
    // the outputs, the same one again changes nothing.
    ASSERT_EQ(sendRecord(fd, GPIO_SET_LED_PATTERN, {{0x1, 1, 3, 0, 100}}), 0);
    const ino_t first = stateInode(root);
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(sendRecord(fd, GPIO_SET_LED_PATTERN, {{0x1, 1, 3, 0, 100}}), 0);
    uint64_t ticks = 0;
    ASSERT_EQ(sim.ioctl(fd, GPIO_GET_TICKS, reinterpret_cast<uintptr_t>(&ticks)), 0);
    readWord(fd, GPIO_GET_SUPPLY_INPUTS);
    EXPECT_EQ(stateInode(root), first);
    EXPECT_EQ(root.state("led.0"), "1 3 0 100");

    ASSERT_EQ(sendRecord(fd, GPIO_SET_LED_PATTERN, {{0x1, 1, 3, 0, 200}}), 0);
    EXPECT_NE(stateInode(root), first);
    EXPECT_EQ(root.state("led.0"), "1 3 0 200");
    sim.close(fd);
}

// Inputs change while the board is open, the ways a test changes them: the
// file written in place, a new file renamed over it, the file removed.
TEST(SimulatedBoard, InputChangesWhileOpenAreSeenAtTheNextRequest)
{
    SimBoardRoot root(250);
    int fd = openGpio();
    ASSERT_GE(fd, 0);
    auto renameInto = [&](const std::string& name, const std::string& text) {
        root.setSim(name + ".new", text);
        ASSERT_EQ(rename(root.path("/dev/gpio.sim/" + name + ".new").c_str(),
                         root.path("/dev/gpio.sim/" + name).c_str()),
                  0);
    };
    BoardRecord rec = {{0x1, 1, 3, 0, 100}};
    auto flash = [&] { return sim.ioctl(fd, GPIO_SET_LED_PATTERN, reinterpret_cast<uintptr_t>(&rec)); };

    ASSERT_EQ(flash(), 0);
    root.setSim("fail", "0x40140aca\n");
    EXPECT_EQ(flash(), -1);
    EXPECT_EQ(errno, EIO);
    root.removeSim("fail");
    EXPECT_EQ(flash(), 0);
    renameInto("fail", "0x40140aca");
    EXPECT_EQ(flash(), -1);
    renameInto("fail", "gpio");
    EXPECT_EQ(flash(), 0);

    renameInto("supply", "1");
    EXPECT_EQ(readWord(fd, GPIO_GET_SUPPLY_INPUTS), 1u);
    root.removeSim("supply");
    EXPECT_EQ(readWord(fd, GPIO_GET_SUPPLY_INPUTS), 3u);

    root.setSim("simple", "");
    EXPECT_EQ(flash(), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(sim.ioctl(fd, GPIO_SET_LED_WORD, 0x4000000), 0);
    EXPECT_EQ(root.state("driver"), "simple");
    root.removeSim("simple");
    EXPECT_EQ(flash(), 0);
    EXPECT_EQ(root.state("driver"), "extended");
    sim.close(fd);
}
