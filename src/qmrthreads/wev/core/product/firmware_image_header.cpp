#include "core/product/firmware_image_header.h"

#include "core/i18n/texts.h"
#include "core/product/product_info.h"

#include <cstdio>
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

bool FirmwareImageHeader::hasMagic() const
{
    return word(0) == IMAGE_MAGIC;
}

int FirmwareImageHeader::checkCompat(char* description, size_t size) const
{
    const ProductInfo& product = productInfo();
    uint32_t type = word(4), compatId = word(16), compatLevel = word(20), softwareId = word(24);
    auto refuse = [&](const char* reason) {
        snprintf(description, size, "%s", reason);
        return 255;
    };
    if (!hasMagic())
        return refuse("incompatible");
    switch (type) {
    case IMAGE_TYPE_FIRMWARE:
        if ((compatId & product.compat_id) != product.compat_id) {
            fprintf(stderr, "invalid compat_id:%08x (product:%08x)\n", compatId, product.compat_id);
            return refuse("incompatible firmware id");
        }
        if (compatLevel < firmwareInfo().compat_level) {
            fprintf(stderr, "invalid compat_level:%d (firmware:%d)\n", static_cast<int>(compatLevel),
                    static_cast<int>(firmwareInfo().compat_level));
            return refuse("incompatible firmware level");
        }
        snprintf(description, size, "firmware %x.%d", compatId, static_cast<int>(compatLevel));
        return 0;
    case IMAGE_TYPE_SOFTWARE:
        if ((compatId & product.compat_id) != product.compat_id)
            return refuse("incompatible software/product id");
        if (softwareId != product.software_id)
            return refuse("incompatible software id");
        snprintf(description, size, getmuText("Software: %x.%d Version: %d.%d.%d"), compatId,
                 static_cast<int>(softwareId), static_cast<int>(word(32)), static_cast<int>(word(36)),
                 static_cast<int>(word(40)));
        return 0;
    case IMAGE_TYPE_FPGA:
        snprintf(description, size, "fpga image info not supported");
        return 0;
    case IMAGE_TYPE_SERIAL_BOARD:
        snprintf(description, size, "serboard");
        return 0;
    default:
        snprintf(description, size, "incompatible type:%d", static_cast<int>(type));
        return 255;
    }
}
