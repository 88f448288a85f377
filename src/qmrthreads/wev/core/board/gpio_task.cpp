#include "core/board/gpio_task.h"

#include "core/board/board_device.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "platform/files/root_path.h"
#include "core/task/shutdown.h"
#include "core/task/start_state.h"

#include <atomic>
#include <fcntl.h>
#include <string>
#include <sys/epoll.h>

namespace {

std::atomic<WpsButtonHandler> wpsButtonHandler{nullptr};

// The model whose short press starts WPS.
constexpr uint32_t kWpsProduct = 357;

// Long press: all second LEDs blink at this rate while the box restarts.
constexpr int kRestartBlinkHz = 6;
constexpr int kPortLedCount = 32;

} // namespace

void setWpsButtonHandler(WpsButtonHandler handler)
{
    wpsButtonHandler.store(handler);
}

GpioTask::GpioTask(BoardDevice* board) : Task("GPio"), board_(board) {}

GpioTask::~GpioTask()
{
    // Stopped in the middle of the start sequence, the task will never
    // finish it: nobody may wait for it any longer.
    board_->markStartUpFinished();
    for (int i = 0; i < kButtons; ++i) {
        if (buttonFds_[i] < 0)
            continue;
        removeEventSource(buttonFds_[i]);
        board_->driver().close(buttonFds_[i]);
        buttonFds_[i] = -1;
    }
}

int GpioTask::buttonCallback(EventSource* src, uint32_t)
{
    return static_cast<GpioTask*>(src->owner)->onButton(src->fd);
}

int GpioTask::buttonIndex(int fd) const
{
    if (fd < 0)
        return -1;
    for (int i = 0; i < kButtons; ++i) {
        if (buttonFds_[i] == fd)
            return i;
    }
    return -1;
}

int GpioTask::onButton(int fd)
{
    int button = buttonIndex(fd);
    if (button < 0)
        return 0;
    char buf[kReadSize];
    ssize_t got = board_->driver().read(fd, buf, sizeof buf);
    if (got <= 0)
        return 0;
    bool sawShort = false;
    bool sawLong = false;
    int looked = 0;
    for (; looked < got && buf[looked] != 0; ++looked) {
        if (buf[looked] == '0') {
            board_->countPress(button, false);
            sawShort = true;
        } else if (buf[looked] == '1') {
            board_->countPress(button, true);
            sawLong = true;
        }
    }
    IntParam* count = params::button_cnt();
    count->setChecked(count->value() + looked);
    if (sawLong)
        longPress();
    else if (sawShort)
        shortPress();
    return 0;
}

void GpioTask::shortPress()
{
    if (productInfo().usbtable_product_id != kWpsProduct)
        return;
    if (WpsButtonHandler handler = wpsButtonHandler.load())
        handler();
}

// Back to the defaults: the parameter file goes, the box restarts, and the
// port LEDs blink until it does.
void GpioTask::longPress()
{
    board_->beep(0);
    for (int port = 0; port < kPortLedCount; ++port)
        board_->setPortLed(port, 2, kRestartBlinkHz);
    ParamStore::factoryReset();
    if (board_->boardType() != kBoardDisplay)
        setExitCode(2);
    startShutdownTask(1);
}

void GpioTask::showAddressLed()
{
    IpParam* address = params::ip_addr();
    if (address->hasValue() && !address->isLinkLocal())
        board_->blinkPatternA();
    else
        board_->blinkPatternB();
}

void GpioTask::openButtons()
{
    uint32_t mask = board_->buttonMask();
    for (int i = 0; i < kButtons; ++i) {
        if (!(mask & (1u << i)))
            continue;
        std::string path = boxPath("/dev/button") + std::to_string(i);
        int fd = board_->driver().open(path.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            continue;
        buttonFds_[i] = fd;
        sources_[i] = EventSource{this, buttonCallback, fd};
        addEventSource(&sources_[i], EPOLLIN);
    }
}

void GpioTask::run()
{
    board_->startUp(this);
    showAddressLed();
    if ((board_->buttonMask() & ((1u << kButtons) - 1)) == 0)
        return;
    openButtons();
    for (;;)
        pollEvents(6000);
}

int startGpioTask(BoardDevice* board)
{
    auto* task = new GpioTask(board);
    int id = task->start(20480, 0);
    if (id < 0)
        delete task;  // which also marks the board's start-up finished
    return id;
}
