#include "core/board/blinker.h"

#include "core/board/board_device.h"
#include "core/params/param_handles.h"
#include "core/task/signal_line.h"
#include "core/task/start_state.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

std::atomic<int> identifySteps{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

std::atomic<ClientConnectedProbe> clientConnectedProbe{nullptr};

constexpr int kIdentifySteps = 4;
constexpr int kStepTicks = 25;

enum PatternType {
    kPatternConnected = 2,
    kPatternAddress = 3,
    kPatternNoAddress = 4,
    kPatternIdentify = 5,
};

struct Pattern {
    const uint8_t* steps;
    int length;
};

Pattern patternOf(int type)
{
    static const uint8_t connected[] = {1};
    static const uint8_t address[] = {0, 0, 0, 1, 0, 1};
    static const uint8_t noAddress[] = {0, 0, 0, 1, 0, 1, 0, 1};
    static const uint8_t identify[] = {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0};
    static const uint8_t dark[] = {0};
    switch (type) {
    case kPatternConnected: return {connected, sizeof connected};
    case kPatternAddress: return {address, sizeof address};
    case kPatternNoAddress: return {noAddress, sizeof noAddress};
    case kPatternIdentify: return {identify, sizeof identify};
    default: return {dark, sizeof dark};
    }
}

bool clientConnected()
{
    ClientConnectedProbe probe = clientConnectedProbe.load();
    return probe && probe();
}

bool addressUsable()
{
    IpParam* address = params::ip_addr();
    return address->hasValue() && !address->isLinkLocal();
}


} // namespace

void setClientConnectedProbe(ClientConnectedProbe probe)
{
    clientConnectedProbe.store(probe);
}

int identifyCount()
{
    return identifySteps.load();
}

// The signal stays blocked while the handler runs and the handler stays
// installed, so a burst of signals only restarts the identify count.
void testSigHandler(int sig)
{
    int savedErrno = errno;
    identifySteps.store(kIdentifySteps);
    SignalLine line;
    line.addSignalReport("testSigHandler", sig, currentTaskName(), shutdownRequests(), sigIntCount());
    line.write(STDERR_FILENO);
    errno = savedErrno;
}

Blinker::Blinker(BoardDevice* board) : Task("Blinker"), board_(board) {}

int Blinker::choosePatternType()
{
    int pending = identifySteps.load();
    while (pending > 0 && !identifySteps.compare_exchange_weak(pending, pending - 1)) {
    }
    if (pending > 0)
        return kPatternIdentify;
    if (clientConnected())
        return kPatternConnected;
    if (addressUsable())
        return kPatternAddress;
    return kPatternNoAddress;
}

uint32_t Blinker::step()
{
    int c = counter_++;
    if (c > 3 || identifySteps.load() > 0) {
        int type = choosePatternType();
        if (type != lastPatternType_) {
            patternStep_ = 0;
            lastPatternType_ = type;
        }
        patternType_ = type;
        counter_ = 0;
    }
    Pattern pattern = patternOf(patternType_);
    if (patternStep_ >= pattern.length)
        patternStep_ = 0;
    uint32_t word = static_cast<uint32_t>(pattern.steps[patternStep_]) << 26 | 0x3000000;
    board_->setLedWord(word);
    patternStep_ = (patternStep_ + 1) % pattern.length;
    return word;
}

void Blinker::run()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = testSigHandler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(kIdentifySignal, &action, nullptr) != 0)
        perror("testSigHandler");
    for (;;) {
        step();
        waitFor(kStepTicks, -1);
    }
}

int startBlinkerTask(BoardDevice* board)
{
    auto* task = new Blinker(board);
    int id = task->start(20480, 0);
    if (id < 0)
        delete task;
    return id;
}
