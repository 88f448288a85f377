// The simulated board: answers the board driver's requests in memory, so the
// program runs unchanged on a machine without the board. A test drives it and
// reads it from outside the running program through files under the root; no
// thread of its own is needed, every input is read when a request asks for it
// and every output is written when it changes.
//
// Files under the root's "/dev/gpio.sim/" (created when "/dev/gpio" is
// opened). Numbers are decimal or 0x-prefixed hexadecimal.
//
// Inputs (a missing file gives the default). They are read when "/dev/gpio"
// or "/dev/button" is opened and again whenever the directory's watch reports
// that one of them was written, created, renamed into place or removed: a
// request costs no file access of its own, as the real driver's does not.
//   supply   supply-input bits: bit 0 input 1 present, bit 1 input 2 present
//            (default 3, both present)
//   card     card-reader state, non-zero = card present (default 0)
//   simple   when it exists the board has the simple LED driver: the probe
//            succeeds and only the LED word, probe, tick counter, supply,
//            card-reader and hardware-word requests are answered
//   leds     LED capability mask reported to the program (default 0xffffffff)
//   buttons  button mask reported by "/dev/button" (default 0x1)
//   fail     failure injection, whitespace-separated tokens: "gpio" makes
//            opening "/dev/gpio" fail (ENODEV), "button" makes opening
//            "/dev/button" fail (ENODEV), a request number (e.g. 0x80140ac9)
//            makes that request fail (EIO). The tick counter never fails.
//
// Output "state", rewritten whole (temporary file and rename) whenever an
// output changes; a request that leaves every output as it was (the activity
// LED's flash on every USB transfer) writes nothing. One "key=value" line each:
//   gpio_open=0|1              "/dev/gpio" is open
//   driver=extended|simple
//   led_word=0x%08x            last LED word of the simple driver
//   leds_on=0x%08x             LED bits lit steadily
//   leds_blinking=0x%08x       LED bits running a repeating pattern
//   led.<bit>=<bits> <mask> <repeat> <step_ms>
//                              one line per LED bit (0..31) whose last setting
//                              was a pattern (repeating or once)
//   port_leds=0x%08x 0x%08x    display board: lit port LED bits of the words
//                              for ports 0-4 and for ports 5 and up
//   display_segments=0x%08x    display board: segment word (a clear bit is a
//                              lit segment)
//   display=<c1><c2>           the two characters shown ("--" before any)
//   display_points=<p1><p2>    '1' where a point follows the first/second
//   display_blink=<bits> <mask> <repeat> <step_ms>   (0 0 0 0 = steady)
//   power_lines=0x%08x         output lines switched on (USB port power by
//                              port index, line 29 the relay, the beeper line)
//   relay_line=0|1             level of line 29 (the relay is wired inverted:
//                              level 0 = relay on)
//   beeps=<n>                  beeper pulses (line 31 on the display board,
//                              line 0 on the others, where it is also the
//                              power line of the first port)
//   button_timing=<w2> <w3>    words 2 and 3 of the last timing record
//                              ("0 0" before any)
//
// Buttons: "/dev/button0".."/dev/button3" under the root are FIFOs, created
// when the program opens them and held open read-write, so a writer closing
// its end never looks like a hang-up. Writing "0" into one is a short press,
// "1" a long press.
#include "platform/board/board_driver.h"

#include "platform/files/file_replace.h"
#include "platform/files/root_path.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <vector>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

enum class SimKind { Gpio, ButtonControl, ButtonFifo };

struct LedPattern {
    bool set = false;
    uint32_t bits = 0;
    uint32_t mask = 0;
    uint32_t repeat = 0;
    uint32_t stepMs = 0;

    bool operator==(const LedPattern&) const = default;
};

// Everything the state file shows; compared whole to tell a change.
struct Outputs {
    bool gpioOpen = false;
    bool simple = false;
    uint32_t ledWord = 0;
    uint32_t ledsOn = 0;
    LedPattern patterns[32];
    uint32_t portLeds[2] = {0, 0};
    uint32_t segments = 0xffffffffu;
    uint32_t display = 0;
    bool displayShown = false;
    uint32_t displayBlink[4] = {0, 0, 0, 0};
    uint32_t lines = 0;
    uint32_t beeps = 0;
    uint32_t buttonTiming[2] = {0, 0};

    bool operator==(const Outputs&) const = default;
};

struct Inputs {
    uint32_t supply = 3;
    uint32_t card = 0;
    uint32_t leds = 0xffffffffu;
    uint32_t buttons = 0x1;
    bool simple = false;
    bool failGpio = false;
    bool failButton = false;
    std::vector<unsigned long> failRequests;
};

// The input files' directory under watch; without a watch (the directory
// does not exist yet, or inotify is unavailable) the inputs are read anew at
// every request.
struct InputWatch {
    int fd = -1;
    int wd = -1;
    std::string dir;
};

struct SimBoard {
    std::mutex mutex;
    uint32_t board = 0;  // board type handed in by setUp
    std::map<int, SimKind> fds;
    int gpioOpen = 0;
    Outputs out;
    Outputs published;
    bool publishedValid = false;
    std::string statePath;  // fixed when "/dev/gpio" is opened
    Inputs in;
    InputWatch watch;
};

SimBoard& sim()
{
    static SimBoard* board = new SimBoard;  // outlives every caller, even detached threads
    return *board;
}

std::string simDir()
{
    return boxPath("/dev/gpio.sim");
}

std::string simFile(const char* name)
{
    return simDir() + "/" + name;
}

bool fileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Reads a small text file; false when it is missing or unreadable.
bool readSmallFile(const std::string& path, char* buf, size_t size)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = ::read(fd, buf, size - 1);
    ::close(fd);
    if (n < 0)
        return false;
    buf[n] = 0;
    return true;
}

uint32_t readNumberFile(const char* name, uint32_t fallback)
{
    char buf[64];
    if (!readSmallFile(simFile(name), buf, sizeof buf))
        return fallback;
    char* end = nullptr;
    errno = 0;
    unsigned long value = strtoul(buf, &end, 0);
    if (end == buf || errno != 0)
        return fallback;
    return static_cast<uint32_t>(value);
}

void parseFailures(Inputs& in, char* text)
{
    const char* delims = " \t\r\n";
    char* save = nullptr;
    for (char* t = strtok_r(text, delims, &save); t; t = strtok_r(nullptr, delims, &save)) {
        if (strcmp(t, "gpio") == 0) {
            in.failGpio = true;
            continue;
        }
        if (strcmp(t, "button") == 0) {
            in.failButton = true;
            continue;
        }
        char* end = nullptr;
        unsigned long value = strtoul(t, &end, 0);
        if (end != t && *end == 0)
            in.failRequests.push_back(value);
    }
}

void loadInputs(Inputs& in)
{
    in = Inputs();
    in.supply = readNumberFile("supply", 3);
    in.card = readNumberFile("card", 0);
    in.leds = readNumberFile("leds", 0xffffffffu);
    in.buttons = readNumberFile("buttons", 0x1);
    in.simple = fileExists(simFile("simple"));
    char buf[1024];
    if (readSmallFile(simFile("fail"), buf, sizeof buf))
        parseFailures(in, buf);
}

bool isInputName(const char* name)
{
    for (const char* input : {"supply", "card", "simple", "leds", "buttons", "fail"})
        if (strcmp(name, input) == 0)
            return true;
    return false;
}

void dropWatch(InputWatch& w)
{
    if (w.fd >= 0)
        ::close(w.fd);
    w = InputWatch();
}

// Watches the input directory when it exists; a watch of another root's
// directory is replaced.
void watchInputs(InputWatch& w)
{
    std::string dir = simDir();
    if (w.wd >= 0 && w.dir == dir)
        return;
    dropWatch(w);
    w.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w.fd < 0)
        return;
    const uint32_t mask = IN_CLOSE_WRITE | IN_MODIFY | IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM |
                          IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
    w.wd = inotify_add_watch(w.fd, dir.c_str(), mask);
    if (w.wd < 0) {
        dropWatch(w);
        return;
    }
    w.dir = dir;
}

// Drains the watch's events; true when an input may have changed (or the
// watch can no longer tell). The state file's own rewrites are no reason.
bool inputsTouched(InputWatch& w)
{
    alignas(inotify_event) char buf[4096];
    bool touched = false;
    for (;;) {
        ssize_t n = ::read(w.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return touched;
        if (n <= 0) {
            dropWatch(w);
            return true;
        }
        for (ssize_t off = 0; off < n;) {
            const inotify_event* ev = reinterpret_cast<const inotify_event*>(buf + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_Q_OVERFLOW)) {
                dropWatch(w);
                return true;
            }
            if (ev->len > 0 && isInputName(ev->name))
                touched = true;
        }
    }
}

// Brings the inputs up to date before a request uses them.
void refreshInputs(SimBoard& b)
{
    if (b.watch.wd < 0 || inputsTouched(b.watch))
        loadInputs(b.in);
}

// At an open: the inputs as they are now, and a watch from here on.
void reloadInputs(SimBoard& b)
{
    watchInputs(b.watch);
    loadInputs(b.in);
}

bool failureInjected(const Inputs& in, unsigned long request)
{
    for (unsigned long r : in.failRequests)
        if (r == request)
            return true;
    return false;
}

uint32_t beeperLine(const SimBoard& b)
{
    return b.board == 278 ? 31 : 0;
}

void appendLine(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendLine(std::string& out, const char* fmt, ...)
{
    char line[160];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    out += line;
    out += '\n';
}

char displayChar(uint32_t c)
{
    return c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
}

std::string stateText(const Outputs& b)
{
    std::string out;
    appendLine(out, "gpio_open=%d", b.gpioOpen ? 1 : 0);
    appendLine(out, "driver=%s", b.simple ? "simple" : "extended");
    appendLine(out, "led_word=0x%08x", b.ledWord);
    uint32_t blinking = 0;
    for (int i = 0; i < 32; ++i)
        if (b.patterns[i].set && b.patterns[i].repeat && (b.patterns[i].bits & b.patterns[i].mask))
            blinking |= 1u << i;
    appendLine(out, "leds_on=0x%08x", b.ledsOn);
    appendLine(out, "leds_blinking=0x%08x", blinking);
    for (int i = 0; i < 32; ++i) {
        const LedPattern& p = b.patterns[i];
        if (p.set)
            appendLine(out, "led.%d=%u %u %u %u", i, p.bits, p.mask, p.repeat, p.stepMs);
    }
    appendLine(out, "port_leds=0x%08x 0x%08x", b.portLeds[0], b.portLeds[1]);
    appendLine(out, "display_segments=0x%08x", b.segments);
    if (b.displayShown) {
        appendLine(out, "display=%c%c", displayChar(b.display >> 24 & 0xff), displayChar(b.display >> 8 & 0xff));
        appendLine(out, "display_points=%d%d", (b.display >> 16 & 0xff) ? 1 : 0, (b.display & 0xff) ? 1 : 0);
    } else {
        appendLine(out, "display=--");
        appendLine(out, "display_points=00");
    }
    appendLine(out, "display_blink=%u %u %u %u", b.displayBlink[0], b.displayBlink[1], b.displayBlink[2],
               b.displayBlink[3]);
    appendLine(out, "power_lines=0x%08x", b.lines);
    appendLine(out, "relay_line=%u", b.lines >> 29 & 1);
    appendLine(out, "beeps=%u", b.beeps);
    appendLine(out, "button_timing=%u %u", b.buttonTiming[0], b.buttonTiming[1]);
    return out;
}

// Rewrites the state file when an output changed; a reader sees the old or
// the new file, never a partly written one. Before the board was ever opened
// there is no file to write.
void publishState(SimBoard& b)
{
    b.out.gpioOpen = b.gpioOpen > 0;
    b.out.simple = b.in.simple;
    if (b.statePath.empty() || (b.publishedValid && b.out == b.published))
        return;
    if (!replaceFile(b.statePath, stateText(b.out), 0644, false).ok())
        return;
    b.published = b.out;
    b.publishedValid = true;
}

void resetOutputs(SimBoard& b)
{
    b.out = Outputs();
    b.publishedValid = false;
}

bool makeDir(const std::string& path)
{
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

int newHandle()
{
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

int openGpio()
{
    SimBoard& b = sim();
    std::lock_guard<std::mutex> guard(b.mutex);
    loadInputs(b.in);
    if (b.in.failGpio) {
        errno = ENODEV;
        return -1;
    }
    if (!makeDir(boxPath("/dev")) || !makeDir(simDir()))
        return -1;
    reloadInputs(b);  // the directory exists now: watch it
    int fd = newHandle();
    if (fd < 0)
        return -1;
    if (b.gpioOpen == 0) {
        resetOutputs(b);  // a fresh board session starts from the power-up state
        b.statePath = simFile("state");
    }
    b.fds[fd] = SimKind::Gpio;
    ++b.gpioOpen;
    publishState(b);
    return fd;
}

int openButtonControl()
{
    SimBoard& b = sim();
    std::lock_guard<std::mutex> guard(b.mutex);
    reloadInputs(b);
    if (b.in.failButton) {
        errno = ENODEV;
        return -1;
    }
    int fd = newHandle();
    if (fd < 0)
        return -1;
    if (b.gpioOpen == 0)
        b.statePath = simFile("state");
    b.fds[fd] = SimKind::ButtonControl;
    return fd;
}

int openButtonFifo(const std::string& path)
{
    if (!makeDir(boxPath("/dev")))
        return -1;
    if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST)
        return -1;
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return -1;
    if (!S_ISFIFO(st.st_mode)) {
        errno = ENODEV;
        return -1;
    }
    // Read-write: the FIFO then always has a writer, so epoll reports data,
    // not a hang-up, after a test's writer has closed its end.
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    SimBoard& b = sim();
    std::lock_guard<std::mutex> guard(b.mutex);
    b.fds[fd] = SimKind::ButtonFifo;
    return fd;
}

void simSetUp(const BoardDriverSetup& setup)
{
    SimBoard& b = sim();
    std::lock_guard<std::mutex> guard(b.mutex);
    b.board = setup.board;
}

int simOpen(const char* path, int flags)
{
    (void)flags;
    if (!path) {
        errno = EFAULT;
        return -1;
    }
    std::string p = path;
    if (p == boxPath("/dev/gpio"))
        return openGpio();
    std::string button = boxPath("/dev/button");
    if (p == button)
        return openButtonControl();
    if (p.size() == button.size() + 1 && p.compare(0, button.size(), button) == 0 && p.back() >= '0' &&
        p.back() <= '3')
        return openButtonFifo(p);
    errno = ENOENT;
    return -1;
}

int simClose(int fd)
{
    SimBoard& b = sim();
    {
        std::lock_guard<std::mutex> guard(b.mutex);
        auto it = b.fds.find(fd);
        if (it != b.fds.end()) {
            if (it->second == SimKind::Gpio && --b.gpioOpen == 0)
                publishState(b);
            b.fds.erase(it);
        }
    }
    return ::close(fd);
}

uint64_t monotonicCentiseconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 100u + static_cast<uint64_t>(ts.tv_nsec) / 10000000u;
}

int fail(int err)
{
    errno = err;
    return -1;
}

template <typename T>
T* argPointer(uintptr_t arg)
{
    return reinterpret_cast<T*>(arg);
}

void setLedPattern(SimBoard& b, const BoardRecord& rec)
{
    uint32_t target = rec.word[0];
    if (rec.word[2] == 0) {
        // Steady setting: the LEDs of the target show the given bits.
        b.out.ledsOn = (b.out.ledsOn & ~target) | (rec.word[1] & target);
        for (int i = 0; i < 32; ++i)
            if (target & (1u << i))
                b.out.patterns[i] = LedPattern();
        return;
    }
    b.out.ledsOn &= ~target;
    for (int i = 0; i < 32; ++i)
        if (target & (1u << i))
            b.out.patterns[i] = LedPattern{true, rec.word[1], rec.word[2], rec.word[3], rec.word[4]};
}

uint32_t litLeds(const SimBoard& b)
{
    uint32_t lit = b.out.ledsOn;
    for (int i = 0; i < 32; ++i) {
        const LedPattern& p = b.out.patterns[i];
        if (p.set && p.repeat && (p.bits & p.mask))
            lit |= 1u << i;
    }
    return lit;
}

void switchLines(SimBoard& b, uint32_t mask, bool on)
{
    if (!on) {
        b.out.lines &= ~mask;
        return;
    }
    uint32_t beeper = 1u << beeperLine(b);
    if ((mask & beeper) && !(b.out.lines & beeper))
        ++b.out.beeps;
    b.out.lines |= mask;
}

void setPortDisplay(SimBoard& b, const PortDisplayRecord& rec)
{
    b.out.portLeds[0] = (b.out.portLeds[0] & ~rec.word[0]) | (rec.word[3] & rec.word[0]);
    b.out.portLeds[1] = (b.out.portLeds[1] & ~rec.word[1]) | (rec.word[4] & rec.word[1]);
    b.out.segments = (b.out.segments & ~rec.word[2]) | (rec.word[5] & rec.word[2]);
}

// Requests that only the extended driver knows.
int extendedRequest(SimBoard& b, unsigned long request, uintptr_t arg)
{
    switch (request) {
    case GPIO_LINES_ON:
        switchLines(b, *argPointer<uint32_t>(arg), true);
        break;
    case GPIO_LINES_OFF:
        switchLines(b, *argPointer<uint32_t>(arg), false);
        break;
    case GPIO_GET_LED_STATE: {
        uint32_t* word = argPointer<uint32_t>(arg);
        *word &= litLeds(b);
        return 0;
    }
    case GPIO_GET_LED_CAPS:
        argPointer<BoardRecord>(arg)->word[0] = b.in.leds;
        return 0;
    case GPIO_SET_LED_PATTERN:
        setLedPattern(b, *argPointer<const BoardRecord>(arg));
        break;
    case GPIO_SET_DISPLAY: {
        const BoardRecord* rec = argPointer<const BoardRecord>(arg);
        b.out.display = rec->word[0];
        b.out.displayShown = true;
        for (int i = 0; i < 4; ++i)
            b.out.displayBlink[i] = rec->word[i + 1];
        break;
    }
    case GPIO_SET_PORT_DISPLAY:
        setPortDisplay(b, *argPointer<const PortDisplayRecord>(arg));
        break;
    default:
        return fail(ENOTTY);
    }
    publishState(b);
    return 0;
}

int gpioRequest(SimBoard& b, unsigned long request, uintptr_t arg)
{
    if (request == GPIO_GET_TICKS) {
        *argPointer<uint64_t>(arg) = monotonicCentiseconds();
        return 0;
    }
    if (failureInjected(b.in, request))
        return fail(EIO);
    bool simple = b.in.simple;
    switch (request) {
    case GPIO_SET_LED_WORD:
        if (!simple)
            return fail(ENOTTY);
        b.out.ledWord = static_cast<uint32_t>(arg);
        publishState(b);
        return 0;
    case GPIO_PROBE_SIMPLE:
        if (!simple)
            return fail(ENOTTY);
        *argPointer<uint32_t>(arg) = 0;
        return 0;
    case GPIO_GET_SUPPLY_INPUTS:
        *argPointer<uint32_t>(arg) = b.in.supply;
        return 0;
    case GPIO_GET_CARD_READER:
        *argPointer<uint32_t>(arg) = b.in.card;
        return 0;
    case GPIO_GET_HARDWARE_WORD:
        *argPointer<uint32_t>(arg) = 0;
        return 0;
    default:
        break;
    }
    if (simple)
        return fail(ENOTTY);
    return extendedRequest(b, request, arg);
}

int buttonRequest(SimBoard& b, unsigned long request, uintptr_t arg)
{
    if (failureInjected(b.in, request))
        return fail(EIO);
    switch (request) {
    case BUTTON_GET_CAPS:
        argPointer<BoardRecord>(arg)->word[0] = b.in.buttons;
        return 0;
    case BUTTON_SET_TIMING: {
        const BoardRecord* rec = argPointer<const BoardRecord>(arg);
        b.out.buttonTiming[0] = rec->word[2];
        b.out.buttonTiming[1] = rec->word[3];
        publishState(b);
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}

int simIoctl(int fd, unsigned long request, uintptr_t arg)
{
    SimBoard& b = sim();
    std::lock_guard<std::mutex> guard(b.mutex);
    auto it = b.fds.find(fd);
    if (it == b.fds.end())
        return fail(EBADF);
    if (arg == 0 && request != GPIO_SET_LED_WORD)
        return fail(EFAULT);
    if (request == GPIO_GET_TICKS && it->second == SimKind::Gpio)
        return gpioRequest(b, request, arg);  // the clock reads no input
    refreshInputs(b);
    switch (it->second) {
    case SimKind::Gpio:
        return gpioRequest(b, request, arg);
    case SimKind::ButtonControl:
        return buttonRequest(b, request, arg);
    case SimKind::ButtonFifo:
        break;
    }
    return fail(ENOTTY);
}

ssize_t simRead(int fd, void* buf, size_t size)
{
    SimBoard& b = sim();
    {
        std::lock_guard<std::mutex> guard(b.mutex);
        auto it = b.fds.find(fd);
        if (it == b.fds.end())
            return fail(EBADF);
        if (it->second != SimKind::ButtonFifo)
            return fail(EINVAL);
    }
    return ::read(fd, buf, size);
}

} // namespace

const BoardDriverOps simBoardDriverOps = {
    simSetUp,
    simOpen,
    simClose,
    simIoctl,
    simRead,
};
