// The start-up thread's supervision: every 100 ms it counts the live tasks,
// does the once-a-second board work and starts "ShutDown" once a stop was
// requested. It ends when no task is left, or 5 seconds after the latest stop
// signal even while a task is still running.
#pragma once

#include <cstdint>

struct SupervisionState {
    uint64_t lastSecond = 0;     // boardTicks of the last once-a-second pass
    int cpuCountdown = 0;        // seconds until the next CPU-load sample
    int secondPasses = 0;        // once-a-second passes so far
    int cardState = -1;          // last card-reader state (-1 = not read yet)
    int rememberedPortLed = 0;   // LED state of port 0 while a card was in
    bool wiredInUse = true;      // the box runs on its wired port
    bool linkPoll = false;       // the wired link is watched
    int lastLinkMask = -1;       // last wired link mask (-1 = not read yet)
    int lastSupplyBits = -1;     // supply inputs as the relay saw them (-1 = not read yet)
    bool shutdownStarted = false;
};

// The wired link, once a second: a change is posted to the notification
// task, passed to the relay, shown on the display, beeped when asked for, and on a box that chose WLAN at start-up makes it restart.
void pollWiredLink(SupervisionState& state);

// The supply inputs for the relay in event mode, once a second: each input
// that changed passes its "established" or "interrupted" code.
void pollRelayInputs(SupervisionState& state);

// The link code "E5" follows its switch `disp_lnk`: registers that with the
// parameter store (start-up calls it once).
void registerLinkDisplayEffect();

// Counts the CPU-load countdown down by one second; when it has run out it is
// reloaded from the sampling period, and true means: take a sample now. A
// period of 0 never samples.
bool cpuLoadSampleDue(int& countdown, int periodSeconds);

// The card reader of the model that has one: publishes the card as the
// device of row 1 and keeps port 0's LED in step. Does nothing elsewhere.
void pollCardReader(SupervisionState& state);

// Ticks of the monotonic clock that pass after the latest stop signal before
// the loop ends regardless of the tasks still registered.
constexpr uint64_t kStopSignalGraceTicks = 499;

// One pass without the sleep. Returns false when the loop must end.
bool supervisionPass(SupervisionState& state);

// Runs passes 100 ms apart until one returns false.
void superviseTasks(SupervisionState& state);
