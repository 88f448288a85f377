// The 128-byte header at the start of every firmware image and software
// package. Every word is big-endian: magic (0), type (4), crc (8), payload
// length (12), compat id (16), compat level (20), software id (24), creation
// time (28), version (32), release (36), subrelease (40); a fixed vendor text
// at byte 80 that nobody checks.
#pragma once

#include <cstddef>
#include <cstdint>

// Magic and types as the header's big-endian words.
constexpr uint32_t IMAGE_MAGIC = 0x514d5257;      // "QMRW"
constexpr uint32_t IMAGE_TYPE_FIRMWARE = 0x66770000;  // "fw\0\0"
constexpr uint32_t IMAGE_TYPE_SOFTWARE = 0x73770000;  // "sw\0\0"
constexpr uint32_t IMAGE_TYPE_FPGA = 0x66706761;      // "fpga"
constexpr uint32_t IMAGE_TYPE_SERIAL_BOARD = 0x73657262;  // "serb"

struct FirmwareImageHeader {
    static constexpr size_t SIZE = 128;
    static constexpr size_t VENDOR_OFFSET = 80;
    static constexpr size_t VENDOR_SIZE = 33;  // with its NUL

    uint8_t bytes[SIZE];

    // Zeroes the header; stores magic and type as words 0 and 1 when they are
    // not 0, and the vendor text.
    void init(uint32_t magic, uint32_t type);

    // Word 0 is "QMRW".
    bool hasMagic() const;
    // Whether this box takes the image: 0 accepted, 255 refused. The
    // description of the image, or the reason of the refusal, goes to
    // description (size bytes).
    int checkCompat(char* description, size_t size) const;

    // The big-endian word at a byte offset (a multiple of 4 below SIZE).
    uint32_t word(size_t offset) const;
    void setWord(size_t offset, uint32_t value);
};
static_assert(sizeof(FirmwareImageHeader) == FirmwareImageHeader::SIZE);
