#include "core/board/board_device.h"

#include <cerrno>
#include <pthread.h>
#include <time.h>

namespace {

void sleepMs(int ms)
{
    timespec pause{ms / 1000, static_cast<long>(ms % 1000) * 1000 * 1000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

} // namespace

int BoardDevice::beep(int type)
{
    beepLength_.store(type == 1 ? 400 : 100);
    beepCount_.store(type == 2 ? 2 : 1);
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return 0;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    beepThreads_.fetch_add(1);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, beepThread, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        beepThreads_.fetch_sub(1);
        return 0;
    }
    return 1;
}

void* BoardDevice::beepThread(void* arg)
{
    auto* board = static_cast<BoardDevice*>(arg);
    board->runBeeps();
    board->beepThreads_.fetch_sub(1);
    return nullptr;
}

// A beep started while another sounds shares its length and count: the
// threads take the remaining beeps between them.
void BoardDevice::runBeeps()
{
    const int line = board_ == kBoardDisplay ? 31 : 0;
    while (beepCount_.load() > 0) {
        setPortPower(line, 1);
        sleepMs(beepLength_.load());
        setPortPower(line, 0);
        if (beepCount_.fetch_sub(1) - 1 > 0)
            sleepMs(250);
    }
}
