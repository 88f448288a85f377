// The board driver seam. Everything the program does with the board's kernel
// driver ("/dev/gpio", the button control device "/dev/button" and the
// per-button devices "/dev/button0".."/dev/button3") goes through one table of
// operations. Two back-ends sit side by side: the kernel driver itself, and a
// simulated board for machines without one. The choice is made once, on first
// use; nothing above this header knows which back-end answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/ioctl.h>
#include <sys/types.h>

// Argument records of the board's requests. The driver exchanges plain 32-bit
// words; these layouts are what the driver copies in and out.
struct BoardRecord {            // LED pattern, LED state, LED and button
    uint32_t word[5];           // capabilities, display text, button timing
};
static_assert(sizeof(BoardRecord) == 20, "the driver copies 20 bytes");

struct PortDisplayRecord {      // port LEDs and display segments of the
    uint32_t word[9];           // display board: (mask, value) word pairs
};
static_assert(sizeof(PortDisplayRecord) == 36, "the driver copies 36 bytes");

// Request numbers. The encodings carry the argument size, so they are built
// from the argument types; the asserts below pin them to the numbers the
// board's driver answers to.
constexpr unsigned long GPIO_SET_LED_WORD = _IOW(0x0a, 0xa3, uint32_t);       // value, not pointer
constexpr unsigned long GPIO_PROBE_SIMPLE = _IOR(0x0a, 0xa4, uint32_t);
constexpr unsigned long GPIO_GET_SUPPLY_INPUTS = _IOR(0x0a, 0xae, uint32_t);
constexpr unsigned long GPIO_GET_CARD_READER = _IOR(0x0a, 0xaf, uint32_t);
constexpr unsigned long GPIO_GET_HARDWARE_WORD = _IOR(0x0a, 0xc1, uint32_t);
constexpr unsigned long GPIO_LINES_ON = _IOW(0x0a, 0xc2, uint32_t);
constexpr unsigned long GPIO_LINES_OFF = _IOW(0x0a, 0xc3, uint32_t);
// Word 0 of a BoardRecord is exchanged (in: the LEDs asked about, out: those
// of them that are lit); the request is encoded with the one word it uses.
constexpr unsigned long GPIO_GET_LED_STATE = _IOR(0x0a, 0xc5, uint32_t);
constexpr unsigned long GPIO_GET_LED_CAPS = _IOR(0x0a, 0xc9, BoardRecord);
constexpr unsigned long GPIO_SET_LED_PATTERN = _IOW(0x0a, 0xca, BoardRecord);
constexpr unsigned long GPIO_GET_TICKS = _IOR(0x0a, 0xcb, uint64_t);
constexpr unsigned long GPIO_SET_DISPLAY = _IOR(0x0a, 0xcc, BoardRecord);
constexpr unsigned long GPIO_SET_PORT_DISPLAY = _IOW(0x0a, 0xce, PortDisplayRecord);
constexpr unsigned long BUTTON_GET_CAPS = _IOR(0x5c, 0x00, BoardRecord);
constexpr unsigned long BUTTON_SET_TIMING = _IOW(0x5c, 0x01, BoardRecord);

static_assert(GPIO_SET_LED_WORD == 0x40040aa3);
static_assert(GPIO_PROBE_SIMPLE == 0x80040aa4);
static_assert(GPIO_GET_SUPPLY_INPUTS == 0x80040aae);
static_assert(GPIO_GET_CARD_READER == 0x80040aaf);
static_assert(GPIO_GET_HARDWARE_WORD == 0x80040ac1);
static_assert(GPIO_LINES_ON == 0x40040ac2);
static_assert(GPIO_LINES_OFF == 0x40040ac3);
static_assert(GPIO_GET_LED_STATE == 0x80040ac5);
static_assert(GPIO_GET_LED_CAPS == 0x80140ac9);
static_assert(GPIO_SET_LED_PATTERN == 0x40140aca);
static_assert(GPIO_GET_TICKS == 0x80080acb);
static_assert(GPIO_SET_DISPLAY == 0x80140acc);
static_assert(GPIO_SET_PORT_DISPLAY == 0x40240ace);
static_assert(BUTTON_GET_CAPS == 0x80145c00);
static_assert(BUTTON_SET_TIMING == 0x40145c01);

// What a back-end cannot learn from the driver itself: the board it stands in
// for. The layer above knows it from the product record and hands it in.
struct BoardDriverSetup {
    uint32_t board = 0;         // board type; the display board (278) has
                                // its beeper on line 31, the others on line 0
};

// One table of operations per back-end. Descriptors are real descriptors of
// this process: they can be closed with close() from the table and the
// per-button ones can be watched with epoll.
struct BoardDriverOps {
    // Before the first open; again whenever the board is opened anew. Until
    // then a back-end serves board type 0.
    void (*setUp)(const BoardDriverSetup& setup);
    // open(2) semantics: a descriptor, or -1 with errno set.
    int (*open)(const char* path, int flags);
    // close(2) semantics.
    int (*close)(int fd);
    // ioctl(2) semantics; arg is a pointer to the request's argument, or
    // the value itself for GPIO_SET_LED_WORD.
    int (*ioctl)(int fd, unsigned long request, uintptr_t arg);
    // read(2) semantics, for the per-button devices.
    ssize_t (*read)(int fd, void* buf, size_t size);
};

// The back-end of this run, chosen on first use: the kernel driver when the
// root's "/dev/gpio" is a character device, the simulated board otherwise.
const BoardDriverOps& boardDriver();

// The choice itself, for a given path (what boardDriver() applies to the
// root's "/dev/gpio").
const BoardDriverOps& selectBoardDriver(const char* gpioPath);

extern const BoardDriverOps realBoardDriverOps;
extern const BoardDriverOps simBoardDriverOps;
