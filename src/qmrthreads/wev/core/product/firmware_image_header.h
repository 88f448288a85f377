// The 128-byte header at the start of every firmware image and software
// package. Every word is big-endian: magic (0), type (4), crc (8), payload
// length (12), compat id (16), compat level (20), software id (24), creation
// time (28), version (32), release (36), subrelease (40); a fixed vendor text
// at byte 80 that nobody checks.
#pragma once

#include <cstddef>
#include <cstdint>

struct FirmwareImageHeader {
    static constexpr size_t SIZE = 128;
    static constexpr size_t VENDOR_OFFSET = 80;
    static constexpr size_t VENDOR_SIZE = 33;  // with its NUL

    uint8_t bytes[SIZE];

    // Zeroes the header; stores magic and type as words 0 and 1 when they are
    // not 0, and the vendor text.
    void init(uint32_t magic, uint32_t type);

    // The big-endian word at a byte offset (a multiple of 4 below SIZE).
    uint32_t word(size_t offset) const;
    void setWord(size_t offset, uint32_t value);
};
static_assert(sizeof(FirmwareImageHeader) == FirmwareImageHeader::SIZE);
