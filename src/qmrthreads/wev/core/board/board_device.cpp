#include "core/board/board_device.h"

#include "core/product/model_features.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "platform/files/root_path.h"
#include "core/task/tick_clock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <time.h>

namespace {

std::atomic<BoardDevice*> clockBoard{nullptr};

int readClockBoardCounter(uint64_t* value)
{
    BoardDevice* board = clockBoard.load();
    return board ? board->readTickCounter(value) : 0;
}

uint32_t bitAt(int position)
{
    return position >= 0 && position < 32 ? 1u << position : 0;
}

// The LEDs a type names: 1 first, 2 second, 3 both; -1 for another type.
int64_t ledsOfType(const PortLedBits& leds, int type)
{
    switch (type) {
    case 0: return 0;
    case 1: return leds.first;
    case 2: return leds.second;
    case 3: return leds.first | leds.second;
    default: return -1;
    }
}

} // namespace

BoardDevice::BoardDevice() : BoardDevice(boardDriver()) {}

BoardDevice::BoardDevice(const BoardDriverOps& driver)
    : driver_(driver),
      board_(productInfo().gpio_hw_project),
      product_(productInfo().product_id),
      display_(std::make_unique<DisplayState>())
{
}

BoardDevice::~BoardDevice()
{
    if (clockBoard.load() == this) {
        clockBoard.store(nullptr);
        setTickCounterReader(nullptr);
    }
    // A beeper thread still sounding uses this object: let it finish. A
    // sequence takes at most two beeps and a pause.
    for (int i = 0; i < 300 && beepThreads_.load() > 0; ++i) {
        timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    if (isOpen())
        close();
}

int BoardDevice::open()
{
    std::string path = boxPath("/dev/gpio");
    int error = 0;
    {
        std::lock_guard<std::mutex> guard(ioctlMutex_);
        if (fd_.load() >= 0)
            return 1;
        // Before the first request, so that the back-end answers as this
        // board does from the start.
        driver_.setUp(BoardDriverSetup{board_});
        int fd = driver_.open(path.c_str(), O_RDWR);
        if (fd >= 0) {
            fd_.store(fd);
            // A board opened anew has shown no activity yet.
            activitySent_.store(false);
            return 1;
        }
        error = errno;
    }
    fprintf(stderr, "BoardDevice::open %s: %s\n", path.c_str(), strerror(error));
    // Nothing will run the start sequence: whoever waits for it must not
    // wait for ever.
    markStartUpFinished();
    return 0;
}

int BoardDevice::close()
{
    if (!isOpen())
        return 0;
    if (extendedDriver())
        sendLedPattern(availableLeds(), 1, 3, 0, 300);
    std::lock_guard<std::mutex> guard(ioctlMutex_);
    int fd = fd_.exchange(-1);
    if (fd < 0)
        return 0;
    driver_.close(fd);
    return 1;
}

int BoardDevice::ioctlLocked(unsigned long request, uintptr_t arg)
{
    std::lock_guard<std::mutex> guard(ioctlMutex_);
    int fd = fd_.load();
    if (fd < 0)
        return -1;
    return driver_.ioctl(fd, request, arg);
}

int BoardDevice::readTickCounter(uint64_t* value)
{
    uint64_t counter = 0;
    if (ioctlLocked(GPIO_GET_TICKS, &counter) < 0)
        return 0;
    *value = counter;
    return 1;
}

void BoardDevice::useAsClock()
{
    clockBoard.store(this);
    setTickCounterReader(readClockBoardCounter);
}

int BoardDevice::readSupplyInputs(uint32_t* bits)
{
    uint32_t value = 0;
    if (ioctlLocked(GPIO_GET_SUPPLY_INPUTS, &value) < 0)
        return 0;
    *bits = value;
    return 1;
}

int BoardDevice::readCardReader(uint32_t* state)
{
    uint32_t value = 0;
    if (ioctlLocked(GPIO_GET_CARD_READER, &value) < 0)
        return 0;
    *state = value;
    return 1;
}

int BoardDevice::setLedWord(uint32_t word)
{
    return ioctlLocked(GPIO_SET_LED_WORD, static_cast<uintptr_t>(word)) >= 0 ? 1 : 0;
}

int BoardDevice::setPortPower(int line, int on)
{
    if (!extendedDriver() || line < 0 || !isOpen())
        return 0;
    uint32_t mask = line < 32 ? 1u << line : 0;
    return ioctlLocked(on ? GPIO_LINES_ON : GPIO_LINES_OFF, &mask) >= 0 ? 1 : 0;
}

bool BoardDevice::featureOn(uint32_t feature)
{
    return (static_cast<uint32_t>(params::sw_features()->value()) & feature) != 0;
}

void BoardDevice::setRelay(int on)
{
    if (featureOn(kFeatureRelay))
        setPortPower(kRelayLine, !on);
}

int BoardDevice::sendLedPattern(uint32_t target, uint32_t bits, uint32_t mask, uint32_t repeat, uint32_t stepMs)
{
    BoardRecord rec = {{target, bits, mask, repeat, stepMs}};
    return ioctlLocked(GPIO_SET_LED_PATTERN, &rec) >= 0 ? 1 : 0;
}

int BoardDevice::sendPortDisplay(const PortDisplayRecord& rec)
{
    PortDisplayRecord copy = rec;
    return ioctlLocked(GPIO_SET_PORT_DISPLAY, &copy) >= 0 ? 1 : 0;
}

int BoardDevice::setPortLedDisplayBoard(int port, int type)
{
    if (port < 0 || type < 0 || type > 3)
        return 0;
    // Ports 0 to 4 sit in the first (mask, lit) word pair, the others in
    // the second; A is the port's "in use" LED, B its "attached" LED.
    bool low = port < 5;
    uint32_t a = low ? bitAt(port + 16) : bitAt(port + 11);
    uint32_t b = low ? bitAt(port + 8) : bitAt(port - 5);
    if ((a | b) == 0)
        return 0;
    int pair = low ? 0 : 1;
    PortDisplayRecord rec = {};
    rec.word[pair] = a | b;
    rec.word[pair + 3] = type == 0 ? 0 : type == 1 ? b : a;
    return sendPortDisplay(rec);
}

int BoardDevice::setPortLed(int port, int type, int blinkHz)
{
    if (board_ == kBoardDisplay)
        return setPortLedDisplayBoard(port, type);
    if (!extendedDriver() || port < 0)
        return 0;
    uint32_t available = availableLeds();
    PortLedBits leds = portLedBits(board_, port, available);
    int64_t chosen = ledsOfType(leds, type);
    BoardRecord rec = {};
    if (blinkHz > 0) {
        uint32_t target = chosen < 0 ? 0 : static_cast<uint32_t>(chosen);
        rec = {{target, 1, 3, 1, static_cast<uint32_t>(1000 / blinkHz)}};
    } else {
        if (chosen < 0)
            return 0;
        rec = {{leds.first | leds.second, static_cast<uint32_t>(chosen), 0, 0, 0}};
    }
    if ((rec.word[0] & available) == 0)
        return 0;
    return ioctlLocked(GPIO_SET_LED_PATTERN, &rec) >= 0 ? 1 : 0;
}

int BoardDevice::portLedState(int port)
{
    PortLedBits leds = portLedBits(board_, port, availableLeds());
    uint32_t both = leds.first | leds.second;
    if (both == 0)
        return 0;
    BoardRecord rec = {{both, 0, 0, 0, 0}};
    if (ioctlLocked(GPIO_GET_LED_STATE, &rec) < 0)
        return 0;
    uint32_t lit = rec.word[0] & both;
    if (lit == 0)
        return 0;
    if (lit == both)
        return 3;
    if (lit == leds.first)
        return 1;
    if (lit == leds.second)
        return 2;
    return 0;
}

int BoardDevice::blinkFast()
{
    return sendLedPattern(kLedActivity, 1, 3, 0, 100);
}

int BoardDevice::blinkActivity(uint64_t nowTicks)
{
    const uint64_t sent = activitySentTick_.load();
    if (activitySent_.load() && nowTicks >= sent && nowTicks - sent < kActivityRepeatTicks)
        return 1;
    activitySentTick_.store(nowTicks);
    activitySent_.store(true);
    return blinkFast();
}

int BoardDevice::blinkPatternA()
{
    if (!extendedDriver())
        return 0;
    return sendLedPattern(kLedAddress, 5, 1023, 1, 250);
}

int BoardDevice::blinkPatternB()
{
    if (!extendedDriver())
        return 0;
    return sendLedPattern(kLedAddress, 21, 1023, 1, 250);
}

int BoardDevice::setStatusLed(int type)
{
    if (!extendedDriver())
        return 0;
    switch (type) {
    case 1: return sendLedPattern(kLedStatus, 204, 255, 1, 0);
    case 2: return sendLedPattern(kLedStatus, kLedStatus, 0, 0, 0);
    case 3: return sendLedPattern(kLedStatus, 170, 255, 1, 0);
    default: return sendLedPattern(kLedStatus, 0, 0, 0, 0);
    }
}

void BoardDevice::countPress(int button, bool longPress)
{
    if (button < 0 || button >= 4)
        return;
    (longPress ? longPresses_ : shortPresses_)[button].fetch_add(1);
}

int BoardDevice::shortPresses(int button) const
{
    return button >= 0 && button < 4 ? shortPresses_[button].load() : 0;
}

int BoardDevice::longPresses(int button) const
{
    return button >= 0 && button < 4 ? longPresses_[button].load() : 0;
}

BoardDevice& boardDevice()
{
    static BoardDevice* board = [] {
        auto* b = new BoardDevice();
        b->useAsClock();
        return b;
    }();
    return *board;
}
