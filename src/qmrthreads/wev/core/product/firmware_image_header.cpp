#include "core/product/firmware_image_header.h"

#include <cstring>

namespace {

// Exactly 32 characters, so that with its NUL it fills the 33-byte field.
constexpr char vendorText[] = "QMR Threads WEV firmware package";
static_assert(sizeof vendorText == FirmwareImageHeader::VENDOR_SIZE);

} // namespace

void FirmwareImageHeader::init(uint32_t magic, uint32_t type)
{
    memset(bytes, 0, sizeof bytes);
    if (magic != 0)
        setWord(0, magic);
    if (type != 0)
        setWord(4, type);
    memcpy(bytes + VENDOR_OFFSET, vendorText, sizeof vendorText);
}

uint32_t FirmwareImageHeader::word(size_t offset) const
{
    if (offset + 4 > SIZE)
        return 0;
    const uint8_t* p = bytes + offset;
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

void FirmwareImageHeader::setWord(size_t offset, uint32_t value)
{
    if (offset + 4 > SIZE)
        return;
    uint8_t* p = bytes + offset;
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}
