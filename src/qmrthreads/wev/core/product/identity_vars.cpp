#include "core/product/identity_vars.h"

#include "core/product/product_info.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr char unknownKeyText[] = " -- 2Do --";

struct NumberVar {
    const char* key;
    uint32_t value;
};

size_t bufferSize(int size)
{
    return size > 0 ? static_cast<size_t>(size) : 0;
}

int printUnknown(char* buf, int size)
{
    return snprintf(buf, bufferSize(size), "%s", unknownKeyText);
}

// "%d" as the pages have always shown them, hex bit sets included.
int printNumber(const NumberVar* vars, size_t count, const char* key, char* buf, int size)
{
    if (!key)
        return printUnknown(buf, size);
    for (size_t i = 0; i < count; ++i) {
        if (strcmp(key, vars[i].key) == 0)
            return snprintf(buf, bufferSize(size), "%d", static_cast<int>(vars[i].value));
    }
    return printUnknown(buf, size);
}

} // namespace

int printProductVar(const char* key, char* buf, int size)
{
    const ProductInfo& p = productInfo();
    if (!key)
        return printUnknown(buf, size);
    if (strcmp(key, "product_name") == 0 || strcmp(key, "product_icon") == 0)
        return snprintf(buf, bufferSize(size), "%s", p.product_name);
    if (strcmp(key, "default_name") == 0)
        return snprintf(buf, bufferSize(size), "%s", p.default_name);
    if (strcmp(key, "hw_address") == 0) {
        const uint8_t* m = p.ethaddr0;
        return snprintf(buf, bufferSize(size), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2],
                        m[3], m[4], m[5]);
    }
    const NumberVar vars[] = {
        {"product_id", p.product_id},
        {"compat_id", p.compat_id},
        {"oem_id", p.oem_id},
        {"year", p.year},
        {"month", p.month},
        {"serial_no", p.serial_no},
        {"creation_time", p.creation_time},
        {"hw_project", p.hw_project},
        {"usb_ports_phy", p.usb_ports_phy},
        {"hw_major", p.hw_major},
        {"hw_minor", p.hw_minor},
    };
    return printNumber(vars, std::size(vars), key, buf, size);
}

int printSoftwareVar(const char* key, char* buf, int size)
{
    const SoftwarePackageInfo& s = softwarePackageInfo();
    const NumberVar vars[] = {
        {"compat_id", s.compat_id},
        {"compat_level", s.compat_level},
        {"version", s.version},
        {"release", s.release},
        {"subrelease", s.subrelease},
        {"creation_time", s.creation_time},
    };
    return printNumber(vars, std::size(vars), key, buf, size);
}

int printFirmwareVar(const char* key, char* buf, int size)
{
    const FirmwareInfo& f = firmwareInfo();
    const NumberVar vars[] = {
        {"firmware_version", f.firmware_version},
        {"compat_id", f.compat_id},
        {"compat_level", f.compat_level},
        {"creation_time", f.creation_time},
    };
    return printNumber(vars, std::size(vars), key, buf, size);
}
