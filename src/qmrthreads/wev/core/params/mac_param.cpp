#include "core/params/param.h"

#include <cstring>

#include "core/addr/mac_address.h"

namespace {
// Longer texts cannot be a MAC address; only their start is looked at.
constexpr size_t kMacTextMax = 63;
}

MacParam::MacParam(const char* name, const uint8_t* bytes, int kind, const void* table, uint32_t flags)
    : Param(name, kind, table, flags)
{
    if (bytes)
        std::memcpy(mac_, bytes, sizeof(mac_));
    else
        std::memset(mac_, 0, sizeof(mac_));
}

bool MacParam::isValid(const char* text) const
{
    unsigned v[kMacBytes];
    if (macScan(text, v) != int(kMacBytes))
        return false;
    for (unsigned x : v) {
        if (x > 0xff)
            return false;
    }
    return true;
}

int MacParam::assign(const char* text, int length)
{
    if (!text)
        return 0;
    char local[kMacTextMax + 1];
    size_t len = length < 0 ? std::strlen(text) : size_t(length);
    if (len > kMacTextMax)
        len = kMacTextMax;
    std::memcpy(local, text, len);
    local[len] = '\0';
    Guard g(*this);
    const int changed = macParse(mac_, local);
    orModified(changed != 0);
    return changed;
}

void MacParam::bytes(uint8_t out[6]) const
{
    Guard g(*this);
    std::memcpy(out, mac_, sizeof(mac_));
}

void MacParam::setBytes(const uint8_t in[6])
{
    Guard g(*this);
    std::memcpy(mac_, in, sizeof(mac_));
}

bool MacParam::hasValue() const
{
    uint8_t b[6];
    bytes(b);
    for (uint8_t x : b) {
        if (x)
            return true;
    }
    return false;
}

int MacParam::toText(char* buffer, size_t size) const
{
    uint8_t b[6];
    bytes(b);
    return macToText(b, buffer, size);
}

int MacParam::print(FILE* out) const
{
    uint8_t b[6];
    bytes(b);
    return macPrint(b, out);
}

bool MacParam::getSnmp(std::string& out) const
{
    if (hasFlags(kParamHidden | kParamInternal))
        return false;
    uint8_t b[6];
    bytes(b);
    out.assign(reinterpret_cast<const char*>(b), sizeof(b));
    return true;
}

bool MacParam::equalsText(const char* text) const
{
    if (!isValid(text))
        return false;
    uint8_t current[6];
    bytes(current);
    uint8_t parsed[6];
    std::memcpy(parsed, current, sizeof(parsed));
    return macParse(parsed, text) == 0 && macEquals(parsed, current);
}
