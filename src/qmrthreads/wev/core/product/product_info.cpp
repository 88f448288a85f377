#include "core/product/product_info.h"

#include "core/product/firmware_image_header.h"
#include "platform/files/root_path.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <mutex>
#include <unistd.h>

namespace {

enum class FieldKind { Decimal, Hex, Name, MacBytes, DeviceTypes };

// One key of a record file. Keys are tried in table order; the first one
// that matches takes the line.
struct RecordKey {
    const char* key;
    FieldKind kind;
    size_t offset;       // of the field inside the record
    bool matchAnywhere;  // the key may stand anywhere in the line
};

#define PRODUCT_KEY(field, kind) {#field, FieldKind::kind, offsetof(ProductInfo, field), false}
const RecordKey productKeys[] = {
    PRODUCT_KEY(product_id, Decimal),
    PRODUCT_KEY(compat_id, Hex),
    PRODUCT_KEY(oem_id, Hex),
    PRODUCT_KEY(product_name, Name),
    PRODUCT_KEY(default_name, Name),
    {"ethaddr0", FieldKind::MacBytes, offsetof(ProductInfo, ethaddr0), true},
    PRODUCT_KEY(network_type, Decimal),
    PRODUCT_KEY(phy0_addr, Decimal),
    PRODUCT_KEY(software_id, Decimal),
    PRODUCT_KEY(printer_ports, Decimal),
    PRODUCT_KEY(usb_ports_phy, Decimal),
    {"device_types", FieldKind::DeviceTypes, offsetof(ProductInfo, device_types), true},
    PRODUCT_KEY(hw_major, Decimal),
    PRODUCT_KEY(hw_minor, Decimal),
    PRODUCT_KEY(hw_project, Decimal),
    PRODUCT_KEY(year, Decimal),
    PRODUCT_KEY(month, Decimal),
    PRODUCT_KEY(serial_no, Decimal),
    PRODUCT_KEY(fpga_compat_id, Decimal),
    PRODUCT_KEY(fpga_compat_level, Decimal),
    PRODUCT_KEY(creation_time, Decimal),
    PRODUCT_KEY(gpio_hw_project, Decimal),
    PRODUCT_KEY(usbtable_product_id, Decimal),
};
#undef PRODUCT_KEY

#define FIRMWARE_KEY(field, kind) {#field, FieldKind::kind, offsetof(FirmwareInfo, field), false}
const RecordKey firmwareKeys[] = {
    FIRMWARE_KEY(compat_id, Hex),
    FIRMWARE_KEY(compat_level, Decimal),
    FIRMWARE_KEY(firmware_version, Decimal),
    FIRMWARE_KEY(creation_time, Decimal),
};
#undef FIRMWARE_KEY

constexpr size_t NAME_FIELD_SIZE = 128;
constexpr size_t MAC_FIELD_SIZE = 8;

// strtoul as on the box, whose unsigned long is 32 bits: a value beyond that
// range saturates instead of being cut to its low bits, a leading minus
// negates modulo 2^32, text that does not convert gives 0.
uint32_t toU32(const char* text, int base)
{
    errno = 0;
    unsigned long long v = strtoull(text, nullptr, base);
    if (errno == ERANGE)
        return 0xffffffffu;
    bool negative = text[strspn(text, " \t\n\v\f\r")] == '-';
    unsigned long long magnitude = negative ? 0ull - v : v;
    if (magnitude > 0xffffffffull)
        return 0xffffffffu;
    uint32_t result = static_cast<uint32_t>(magnitude);
    return negative ? 0u - result : result;
}

void copyName(char* field, const char* value)
{
    snprintf(field, NAME_FIELD_SIZE, "%s", value);
}

// Colon-separated hex bytes, one at every third character. Bytes whose
// position lies past the end of the value stay 0.
void parseMacBytes(uint8_t* bytes, const char* value)
{
    size_t length = strlen(value);
    for (size_t i = 0; i < MAC_FIELD_SIZE; ++i) {
        size_t pos = i * 3;
        if (pos >= length)
            break;
        unsigned int byte = 0;
        if (sscanf(value + pos, "%2x", &byte) == 1)
            bytes[i] = static_cast<uint8_t>(byte);
    }
}

void parseDeviceTypes(ProductInfo* info, const char* value)
{
    copyName(info->device_types, value);
    info->printer_ports = static_cast<uint32_t>(strlen(info->device_types));
    info->count_u = info->count_c = info->count_s = info->count_e = 0;
    for (const char* p = info->device_types; *p; ++p) {
        switch (*p) {
        case 'U': ++info->count_u; break;
        case 'C': ++info->count_c; break;
        case 'S': ++info->count_s; break;
        case 'E': ++info->count_e; break;
        default: break;
        }
    }
}

bool keyMatches(const RecordKey& k, const char* line)
{
    if (k.matchAnywhere)
        return strstr(line, k.key) != nullptr;
    return strncmp(line, k.key, strlen(k.key)) == 0;
}

void storeValue(void* record, const RecordKey& k, const char* value)
{
    char* field = static_cast<char*>(record) + k.offset;
    uint32_t number = 0;
    switch (k.kind) {
    case FieldKind::Decimal:
        number = toU32(value, 10);
        memcpy(field, &number, sizeof number);
        break;
    case FieldKind::Hex:
        number = toU32(value, 16);
        memcpy(field, &number, sizeof number);
        break;
    case FieldKind::Name:
        copyName(field, value);
        break;
    case FieldKind::MacBytes:
        parseMacBytes(reinterpret_cast<uint8_t*>(field), value);
        break;
    case FieldKind::DeviceTypes:
        parseDeviceTypes(static_cast<ProductInfo*>(record), value);
        break;
    }
}

void applyLine(void* record, const RecordKey* keys, size_t keyCount, char* line)
{
    char* eq = strchr(line, '=');
    if (!eq)
        return;
    const char* value = eq + 1;
    for (size_t i = 0; i < keyCount; ++i) {
        if (keyMatches(keys[i], line)) {
            storeValue(record, keys[i], value);
            return;
        }
    }
}

// Reads "key=value" lines of at most 1023 characters. The rest of a longer
// line is dropped rather than taken as a line of its own, so a long value
// cannot smuggle in a key.
void readRecordFile(const char* boxFile, void* record, const RecordKey* keys, size_t keyCount)
{
    FILE* f = fopen(boxPath(boxFile).c_str(), "r");
    if (!f)
        return;
    char line[1024];
    bool continuation = false;
    while (fgets(line, sizeof line, f)) {
        size_t length = strlen(line);
        bool complete = length > 0 && line[length - 1] == '\n';
        if (complete)
            line[--length] = '\0';
        if (!continuation)
            applyLine(record, keys, keyCount, line);
        continuation = !complete;
    }
    fclose(f);
}

bool readWhole(int fd, uint8_t* buffer, size_t size)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

struct IdentityRecords {
    ProductInfo product;
    FirmwareInfo firmware;
    SoftwarePackageInfo software;
};

IdentityRecords records;
std::once_flag recordsOnce;

void readAllRecords()
{
    readProductParams(&records.product);
    readSoftwareHeader(&records.software);
    readFirmwareParams(&records.firmware);
}

IdentityRecords& identity()
{
    std::call_once(recordsOnce, readAllRecords);
    return records;
}

} // namespace

void readProductParams(ProductInfo* info)
{
    memset(info, 0, sizeof *info);
    readRecordFile("/conf.d/product_params", info, productKeys, std::size(productKeys));
}

void readFirmwareParams(FirmwareInfo* info)
{
    memset(info, 0, sizeof *info);
    readRecordFile("/conf.d/firmware_params", info, firmwareKeys, std::size(firmwareKeys));
}

void readSoftwareHeader(SoftwarePackageInfo* info)
{
    memset(info, 0, sizeof *info);
    FirmwareImageHeader header;
    header.init(0, 0);
    int fd = open(boxPath("/flash/software.bin").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    bool full = readWhole(fd, header.bytes, sizeof header.bytes);
    close(fd);
    if (!full)
        return;
    info->compat_id = header.word(16);
    info->compat_level = header.word(20);
    info->software_id = header.word(24);
    info->creation_time = header.word(28);
    info->version = header.word(32);
    info->release = header.word(36);
    info->subrelease = header.word(40);
}

const ProductInfo& productInfo()
{
    return identity().product;
}

const FirmwareInfo& firmwareInfo()
{
    return identity().firmware;
}

const SoftwarePackageInfo& softwarePackageInfo()
{
    return identity().software;
}

void setUsbPortsPhy(uint32_t count)
{
    identity().product.usb_ports_phy = count;
}

void reloadProductInfoForTest()
{
    identity();
    readAllRecords();
}
