// "GPio": starts the board, then turns button presses into actions. A long
// press resets the parameters to their defaults and restarts the box.
#pragma once

#include "core/task/task.h"

class BoardDevice;

class GpioTask : public Task {
public:
    static constexpr int kButtons = 4;
    // Longest run of press characters taken in one read.
    static constexpr int kReadSize = 32;

    explicit GpioTask(BoardDevice* board);
    ~GpioTask() override;

    void run() override;
    // Takes the presses waiting on a button descriptor: '0' a short press,
    // '1' a long press. Input on a descriptor that is not one of this task's
    // buttons is left alone. Returns 0.
    int onButton(int fd);

    // The descriptor of button i, -1 when it is not open.
    int buttonFd(int i) const { return i >= 0 && i < kButtons ? buttonFds_[i] : -1; }

private:
    static int buttonCallback(EventSource* src, uint32_t events);
    void openButtons();
    void showAddressLed();
    void shortPress();
    void longPress();
    int buttonIndex(int fd) const;

    BoardDevice* board_;
    int buttonFds_[kButtons] = {-1, -1, -1, -1};
    EventSource sources_[kButtons];
};

// Creates and starts "GPio" for the board. When it cannot be started the
// board's start-up counts as finished, so nothing waits for it for ever.
// Returns the task id or -1.
int startGpioTask(BoardDevice* board);

// A short press on the model with WPS starts the WPS exchange; the WLAN side
// registers what to do (it needs the box's MAC address for the PIN).
using WpsButtonHandler = void (*)();
void setWpsButtonHandler(WpsButtonHandler handler);
