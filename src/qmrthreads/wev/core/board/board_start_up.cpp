// The board's start sequence, run once by "GPio": which driver answers, which
// LEDs exist, the LED test, the button timing, port power and the relay.
#include "core/board/board_device.h"
#include "core/board/relay_control.h"

#include "core/product/model_features.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "platform/files/root_path.h"
#include "core/task/start_state.h"
#include "core/task/task.h"

#include <cerrno>
#include <fcntl.h>
#include <time.h>

namespace {

// Boards whose single LED leaves nothing for an LED test.
bool skipsLedTest(uint32_t board)
{
    return board == 209 || board == 212 || board == 271 || board == 283;
}

// Models that greet with a beep on the first start after power-up.
bool beepsAtFirstStart(uint32_t product)
{
    return product == 353 || product == 336 || product == 349;
}

// Models whose ports get power although they have no per-port switch.
bool powersHiddenPorts(uint32_t product)
{
    switch (product) {
    case 346: case 326: case 357: case 365: case 366: case 367:
        return true;
    default:
        return false;
    }
}

// Button long-press timing in milliseconds.
constexpr uint32_t kLongPressMs = 3500;
constexpr uint32_t kLongPressEndMs = 3550;

} // namespace

void BoardDevice::waitTicks(Task* task, int ticks)
{
    if (task) {
        task->waitFor(ticks, -1);
        return;
    }
    timespec pause{ticks / 100, static_cast<long>(ticks % 100) * 10 * 1000 * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

bool BoardDevice::probeDriver()
{
    if (board_ == kBoardDisplay)
        return true;
    uint32_t answer = 0;
    return ioctlLocked(GPIO_PROBE_SIMPLE, &answer) < 0;
}

// One step of the display board's segment chase; -1 clears it.
void BoardDevice::displayChase(int step)
{
    if (board_ != kBoardDisplay)
        return;
    static const uint32_t segments[4] = {0x1200, 0xc00, 0xc0, 0x2100};
    PortDisplayRecord rec = {};
    rec.word[2] = 0x7fff7fff;
    if (step < 0) {
        rec.word[5] = 0x7fff7fff;
    } else {
        uint32_t v = segments[step % 4];
        rec.word[5] = ~(v | v << 16);
    }
    sendPortDisplay(rec);
}

void BoardDevice::ledTest(Task* task, int ports)
{
    int half = ports / 2;
    for (int p = 0; p < ports; ++p)
        setPortLed(p, 0, 0);
    for (int k = 0; k < half; ++k) {
        setPortLed(half - 1 - k, 2, 0);
        setPortLed(half + k, 2, 0);
        displayChase(k);
        waitTicks(task, 10);
    }
    for (int s = half; s < half + 10; ++s) {
        displayChase(s);
        waitTicks(task, 10);
    }
    for (int k = 0; k < half; ++k) {
        setPortLed(half - 1 - k, 1, 0);
        setPortLed(half + k, 1, 0);
        displayChase(half + k + 10);
        waitTicks(task, 10);
    }
    displayChase(-1);
    waitTicks(task, 150);
    for (int p = 0; p < ports; ++p)
        setPortLed(p, 0, 0);
    std::lock_guard<std::mutex> guard(display_->mutex);
    showDefaultTextLocked();
}

void BoardDevice::readButtonSetup()
{
    // Without the control device every button device is tried.
    BoardRecord caps = {{0xffffffffu, 0, 0, 0, 0}};
    int fd = driver_.open(boxPath("/dev/button").c_str(), O_RDWR);
    if (fd > 0) {
        driver_.ioctl(fd, BUTTON_GET_CAPS, reinterpret_cast<uintptr_t>(&caps));
        BoardRecord timing = {{0, 0, kLongPressMs, kLongPressEndMs, 0}};
        driver_.ioctl(fd, BUTTON_SET_TIMING, reinterpret_cast<uintptr_t>(&timing));
        driver_.close(fd);
    } else if (fd == 0) {
        driver_.close(fd);
    }
    buttonMask_.store(caps.word[0]);
}

// Ports are powered in groups so that the devices' inrush currents do not
// add up: with g groups, group i holds ports i, i + g, i + 2g, ...
void BoardDevice::powerOnPorts(Task* task, int ports)
{
    int groups = ports / 4 > 1 ? ports / 4 : 1;
    for (int group = 0; group < groups; ++group) {
        for (int p = group; p < ports; p += groups) {
            BoolParam* off = params::zyt_poff(p + 1);
            if (off)
                setPortPower(p, off->isOff() ? 1 : 0);
            else if (powersHiddenPorts(product_))
                setPortPower(p, 1);
        }
        waitTicks(task, 50);
    }
}

int BoardDevice::finishStartUp(int result)
{
    markStartUpFinished();
    return result;
}

int BoardDevice::startUp(Task* task)
{
    if (!isOpen())
        return finishStartUp(0);
    extended_.store(probeDriver());
    if (!extendedDriver()) {
        setLedWord(0x228);
        setLedWord(0x3000000);
        return finishStartUp(1);
    }
    if (board_ != kBoardDisplay) {
        BoardRecord caps = {{0xffffffffu, 0, 0, 0, 0}};
        uint32_t hardware = 0;
        if (ioctlLocked(GPIO_GET_LED_CAPS, &caps) < 0 || ioctlLocked(GPIO_GET_HARDWARE_WORD, &hardware) < 0)
            return finishStartUp(0);
        availableLeds_.store(caps.word[0]);
        hardwareWord_.store(hardware);
    }
    if (startCounter() == 0 && beepsAtFirstStart(product_))
        beep(0);
    int ports = static_cast<int>(productInfo().usb_ports_phy);
    if (task && !skipsLedTest(board_))
        ledTest(task, ports);
    readButtonSetup();
    powerOnPorts(task, ports);
    if (featureOn(kFeatureRelay)) {
        if (params::relay_ctrl()->equalsToken("fix"))
            setRelay(params::relay_on()->isOn());
        else
            applyRequestedRelay(*this);
    }
    return finishStartUp(1);
}
