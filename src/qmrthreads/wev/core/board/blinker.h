// "Blinker": drives the single LED of boards with the simple LED driver. The
// LED tells a connected client (steady), a usable address (short blinks) or
// no address (longer blinks) apart, and signal 57 makes it show a fast
// identify pattern for two seconds so that one box can be found in a rack.
#pragma once

#include "core/task/task.h"

#include <cstdint>

class BoardDevice;

constexpr int kIdentifySignal = 57;

class Blinker : public Task {
public:
    explicit Blinker(BoardDevice* board);

    void run() override;
    // One 250 ms step: every fifth step (and every step while an identify
    // request runs out) the pattern is chosen again; then the LED word of
    // the pattern's current step is written. Returns the word written.
    uint32_t step();
    int patternType() const { return patternType_; }

private:
    int choosePatternType();

    BoardDevice* board_;
    int counter_ = 4;
    int patternType_ = 0;
    int lastPatternType_ = 1;
    int patternStep_ = 0;
};

// Handler of signal 57: asks the Blinker for the identify pattern.
void testSigHandler(int sig);
// Identify steps still to show.
int identifyCount();

// Whether a client uses one of the first USB devices; the USB server
// registers the question. Unregistered, no client counts as connected.
using ClientConnectedProbe = bool (*)();
void setClientConnectedProbe(ClientConnectedProbe probe);

// Creates and starts "Blinker"; the task id or -1.
int startBlinkerTask(BoardDevice* board);
