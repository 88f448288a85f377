// The board: the one object that owns "/dev/gpio". Port power, port LEDs,
// the status, address and activity LEDs, the two-character front display of
// the display board, the beeper, the relay line, the supply inputs and the
// card reader all go through it, and it feeds the program's tick clock.
//
// Every request on "/dev/gpio" holds the ioctl mutex for that one request.
// The display list has a mutex of its own (taken before the ioctl mutex and
// before a parameter's lock), because the supervision loop, the SD card
// watcher, the stop and update tasks and the web threads all change it.
#pragma once

#include "platform/board/board_driver.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class Task;

// Board types (`gpio_hw_project`) whose behaviour differs.
enum : uint32_t {
    kBoardDisplay = 278,  // display board: front display, 36-byte port LED record, beeper on line 31
};

// LED bits of the extended driver.
enum : uint32_t {
    kLedActivity = 0x1,
    kLedAddress = 0x2,
    kLedStatus = 0x8,
};

// Output lines switched with GPIO_LINES_ON / GPIO_LINES_OFF besides the USB
// port power lines (line = port index).
constexpr int kRelayLine = 29;

// Flags of BoardDevice::setDisplayEntry.
enum : uint32_t {
    kDisplayPointSecond = 0x1,  // point after the second character
    kDisplayPointFirst = 0x2,   // point after the first character
    kDisplayAdd = 0x4,          // list the entry (shown by the rotation)
    kDisplayRemove = 0x8,       // take the entry off the list; nothing is shown
    kDisplayLock = 0x10,        // show it and ignore everything else for the rest of the run
    kDisplaySlowBlink = 0x20,
    kDisplayFastBlink = 0x40,
};

// State flags of the display.
enum : uint32_t {
    kSupply1Missing = 0x1,      // also lights the point after the second character
    kSupply2Missing = 0x2,      // also lights the point after the first character
    kDisplayLocked = 0x10,
};

// Event word handed to the supply-change sink.
constexpr uint32_t kSupplyChangedEvent = 0x200000;

// The two LEDs of one USB port; 0 = the port has no such LED.
struct PortLedBits {
    uint32_t first;
    uint32_t second;
};

// The LED bits of port `port` on board `board` (not the display board, which
// has its own record), given the LEDs the driver reported as available. A
// bit that would lie beyond bit 31 counts as no LED.
PortLedBits portLedBits(uint32_t board, int port, uint32_t available);

// The listed display codes, the rotation through them and the state flags.
// Every member is guarded by `mutex`.
class DisplayState {
public:
    static constexpr int kEntries = 8;
    struct Entry {
        char first;      // 0 = free entry
        char second;
        uint32_t flags;  // as given to setDisplayEntry, without add/remove
    };

    // Adds (kDisplayAdd) or removes (kDisplayRemove) a listed code. Returns
    // 1 when a listed code was changed or removed, 2 when a new one was
    // stored, 0 when a removal found nothing or no entry was free.
    int changeList(char first, char second, uint32_t flags);
    // "E1, E5": the listed codes in list order.
    std::string listText() const;
    // Index of the next listed entry after the rotation index; -1 when none.
    int nextListed() const;
    bool locked() const { return (stateFlags & kDisplayLocked) != 0; }

    std::mutex mutex;
    Entry entries[kEntries] = {};
    uint32_t stateFlags = 0;
    int rotationIndex = -1;
    int entryCount = 0;  // entries added since the last lock; the rotation runs while it is not 0
};

class BoardDevice {
public:
    // The board of this box: its type and model from the product record,
    // the back-end from the board driver seam.
    BoardDevice();
    // A board over a given back-end (tests wrap the back-end to watch it).
    explicit BoardDevice(const BoardDriverOps& driver);
    ~BoardDevice();
    BoardDevice(const BoardDevice&) = delete;
    BoardDevice& operator=(const BoardDevice&) = delete;

    // Opens "/dev/gpio" read-write; 1 when the descriptor is valid. A board
    // that cannot be opened never starts up, so start-up counts as finished.
    int open();
    // On the extended driver first flashes every available LED once; 0 when
    // the board was not open, else 1.
    int close();
    bool isOpen() const { return fd_.load() >= 0; }

    // One request under the ioctl mutex; -1 when the board is not open.
    int ioctlLocked(unsigned long request, uintptr_t arg);
    int ioctlLocked(unsigned long request, void* arg) { return ioctlLocked(request, reinterpret_cast<uintptr_t>(arg)); }

    // The driver's counter in 1/100 s; 1 and the value, 0 when the board is
    // not open or the request failed.
    int readTickCounter(uint64_t* value);
    // Makes this board's counter the source of boardTicks().
    void useAsClock();
    // Supply inputs (bit 0 input 1 present, bit 1 input 2 present) and the
    // card reader (non-zero = card present): 1 when read, 0 otherwise.
    int readSupplyInputs(uint32_t* bits);
    int readCardReader(uint32_t* state);
    // The simple driver's LED word; 1 when it was taken.
    int setLedWord(uint32_t word);

    // Extended driver only, line >= 0: switches output line `line` on or off
    // (lines from 32 up give an empty mask); 1 when the request succeeded.
    int setPortPower(int line, int on);
    // With the relay feature: the relay line is switched with inverted level.
    void setRelay(int on);
    // Type 1 one 400 ms beep, type 2 two 100 ms beeps, any other one 100 ms
    // beep, sounded by a detached thread; 1 when the thread started.
    int beep(int type);

    // Type 0 off, 1 first LED, 2 second LED, 3 both; blinkHz 0 = steady.
    // 1 when the request succeeded; 0 for a port without available LEDs, a
    // negative port or a type outside 0..3 (nothing is sent).
    int setPortLed(int port, int type, int blinkHz);
    // 3 both LEDs of the port lit, 1 only the first, 2 only the second,
    // 0 otherwise (also when the port has no LED or the request failed).
    int portLedState(int port);
    int blinkFast();
    // The activity flash for an event at nowTicks (1/100 s): sent as
    // blinkFast unless one sent less than kActivityRepeatTicks before is
    // still lit (1 then, nothing sent), so a busy device costs the board a
    // request now and then, not one per event.
    static constexpr uint64_t kActivityRepeatTicks = 5;
    int blinkActivity(uint64_t nowTicks);
    // Address LED: A = the interface has a usable address, B = none or a
    // link-local one. Extended driver only.
    int blinkPatternA();
    int blinkPatternB();
    // Status LED: 1 slow pattern, 2 steady on, 3 fast pattern, other off.
    int setStatusLed(int type);

    // Shows, lists, unlists or locks a display code (kDisplay* flags).
    // Boards without the front display answer 1 and do nothing.
    int setDisplayEntry(char first, char second, uint32_t flags);
    uint32_t displayStateFlags();
    // Reads the supply inputs, keeps the display code E1 and the state flags
    // in step, beeps when asked to, and moves the display rotation on.
    // Called every 2 seconds. 0 when the display is locked, else 1.
    int pollPowerInputs();

    // The start sequence run by "GPio": probe, LED capabilities, LED test,
    // button timing, port power, relay. The task (or none) serves the waits.
    // 1 when it ran to the end. Start-up counts as finished on every path.
    int startUp(Task* task);
    // Start-up has finished, whether it succeeded or not: the USB server
    // waits for this before it listens.
    bool started() const { return started_.load(); }
    void markStartUpFinished() { started_.store(true); }

    bool extendedDriver() const { return extended_.load(); }
    uint32_t availableLeds() const { return availableLeds_.load(); }
    uint32_t hardwareWord() const { return hardwareWord_.load(); }
    uint32_t buttonMask() const { return buttonMask_.load(); }
    uint32_t boardType() const { return board_; }
    uint32_t productId() const { return product_; }
    const BoardDriverOps& driver() const { return driver_; }

    // Presses per button 0..3, counted by "GPio".
    void countPress(int button, bool longPress);
    int shortPresses(int button) const;
    int longPresses(int button) const;

private:
    // The model has the feature (`sw_features`).
    static bool featureOn(uint32_t feature);
    int sendLedPattern(uint32_t target, uint32_t bits, uint32_t mask, uint32_t repeat, uint32_t stepMs);
    int sendPortDisplay(const PortDisplayRecord& rec);
    int setPortLedDisplayBoard(int port, int type);
    int setDisplayEntryLocked(char first, char second, uint32_t flags);
    void showDefaultTextLocked();
    void publishDisplayList();
    void rotateDisplay();
    void beepForSupply(uint32_t missing);
    void ledTest(Task* task, int ports);
    void displayChase(int step);
    void powerOnPorts(Task* task, int ports);
    void readButtonSetup();
    bool probeDriver();
    void waitTicks(Task* task, int ticks);
    static void* beepThread(void* arg);
    void runBeeps();
    int finishStartUp(int result);

    const BoardDriverOps& driver_;
    const uint32_t board_;
    const uint32_t product_;
    std::mutex ioctlMutex_;
    std::atomic<int> fd_{-1};
    std::atomic<uint32_t> availableLeds_{0};
    std::atomic<bool> extended_{false};
    std::atomic<uint32_t> hardwareWord_{0};
    std::atomic<uint32_t> buttonMask_{0};
    std::atomic<uint64_t> activitySentTick_{0};
    std::atomic<bool> activitySent_{false};
    std::atomic<bool> started_{false};
    std::atomic<int> shortPresses_[4] = {};
    std::atomic<int> longPresses_[4] = {};
    std::unique_ptr<DisplayState> display_;
    std::atomic<int> beepLength_{100};
    std::atomic<int> beepCount_{0};
    std::atomic<int> beepThreads_{0};
};

// The process-wide board; built on first use, never destroyed, and the
// source of boardTicks() from then on.
BoardDevice& boardDevice();

// Where a change of the supply inputs is reported (event word and the raw
// input bits). The notification side registers it; until then a change is
// only shown on the display.
using SupplyEventSink = void (*)(uint32_t event, uint32_t inputBits);
void setSupplyEventSink(SupplyEventSink sink);
