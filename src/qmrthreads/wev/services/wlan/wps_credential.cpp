#include "services/wlan/wps_credential.h"

#include <cstring>
#include <vector>

#include "core/params/param_handles.h"
#include "core/params/param_store.h"
#include "services/wlan/bss_list.h"

namespace {

// WPS attribute types (Wi-Fi Simple Configuration).
enum : uint16_t {
    kAttrAuthType = 0x1003,
    kAttrCredential = 0x100e,
    kAttrEncrType = 0x100f,
    kAttrMac = 0x1020,
    kAttrNetworkKey = 0x1027,
    kAttrNetworkKeyIndex = 0x1028,
    kAttrSsid = 0x1045,
};

uint16_t be16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

bool takeAttribute(uint16_t type, const uint8_t* v, uint16_t len, WpsCredential* out)
{
    switch (type) {
    case kAttrSsid:
        if (len > sizeof out->ssid)
            return false;
        memcpy(out->ssid, v, len);
        out->ssidLength = len;
        return true;
    case kAttrNetworkKey:
        if (len > sizeof out->key)
            return false;
        memcpy(out->key, v, len);
        out->keyLength = len;
        return true;
    case kAttrAuthType:
        if (len == 2)
            out->authType = be16(v);
        return true;
    case kAttrEncrType:
        if (len == 2)
            out->encrType = be16(v);
        return true;
    case kAttrNetworkKeyIndex:
        if (len == 1)
            out->keyIndex = v[0];
        return true;
    case kAttrMac:
        if (len == 6)
            memcpy(out->mac, v, 6);
        return true;
    default:
        return true;
    }
}

bool parseAttributes(const uint8_t* p, size_t size, WpsCredential* out)
{
    size_t pos = 0;
    while (pos + 4 <= size) {
        uint16_t type = be16(p + pos);
        uint16_t len = be16(p + pos + 2);
        pos += 4;
        if (len > size - pos)
            return false;
        if (type == kAttrCredential) {
            if (!parseAttributes(p + pos, len, out))
                return false;
        } else if (!takeAttribute(type, p + pos, len, out)) {
            return false;
        }
        pos += len;
    }
    return pos == size;
}

bool hasAny(uint16_t value, uint16_t bits)
{
    return (value & bits) != 0;
}

std::string encryptToken(const WpsCredential& c)
{
    const bool wep = hasAny(c.encrType, kWpsEncrWep);
    const bool tkipOrAes = hasAny(c.encrType, kWpsEncrTkip | kWpsEncrAes);
    std::string token;
    if (c.encrType == kWpsEncrNone)
        token = "---";
    if (hasAny(c.authType, kWpsAuthOpen) && wep)
        token = "WepOpen";
    if (hasAny(c.authType, kWpsAuthShared) && wep)
        token = "WepShared";
    if (hasAny(c.authType, kWpsAuthWpaPsk | kWpsAuthWpa) && tkipOrAes)
        token = "AESTKIP";
    if (hasAny(c.authType, kWpsAuthWpa2 | kWpsAuthWpa2Psk) && tkipOrAes)
        token = "AESTKIP2";
    return token;
}

// The WLAN parameters exist only on models with WLAN.
void setText(Param* p, const std::string& text)
{
    if (p)
        p->set(text.c_str(), static_cast<int>(text.size()));
}

} // namespace

bool parseWpsCredential(const char* hex, int length, WpsCredential* out)
{
    memset(out, 0, sizeof *out);
    std::vector<uint8_t> bytes;
    if (!decodeHex(hex, length, &bytes))
        return false;
    return parseAttributes(bytes.data(), bytes.size(), out);
}

WpsParamValues wpsParamValues(const WpsCredential& cred)
{
    WpsParamValues v;
    const uint32_t ssidLength = cred.ssidLength <= sizeof cred.ssid ? cred.ssidLength : 0;
    const uint32_t keyLength = cred.keyLength <= sizeof cred.key ? cred.keyLength : 0;
    v.ssid.assign(reinterpret_cast<const char*>(cred.ssid), ssidLength);
    v.encrypt = encryptToken(cred);
    v.key.assign(reinterpret_cast<const char*>(cred.key), keyLength);
    if (hasAny(cred.encrType, kWpsEncrWep)) {
        if (cred.keyIndex >= 1 && cred.keyIndex <= 4)
            v.keyId = cred.keyIndex;
        if (cred.keyIndex <= 3)
            v.wepKeySlot = cred.keyIndex + 1;
    }
    v.setPsk = hasAny(cred.authType, kWpsAuthWpaPsk | kWpsAuthWpa2Psk);
    return v;
}

void storeWpsCredential(const WpsCredential& cred)
{
    WpsParamValues v = wpsParamValues(cred);
    setText(params::wifi_mode(), "infra");
    setText(params::wifi_name(), v.ssid);
    if (!v.encrypt.empty())
        setText(params::wifi_encrypt(), v.encrypt);
    if (v.keyId)
        setText(params::wifi_keyid(), std::to_string(v.keyId));
    if (v.wepKeySlot)
        setText(params::wifi_wkey(v.wepKeySlot), v.key);
    if (v.setPsk)
        setText(params::wifi_psk(), v.key);
    saveParamsIfDirty();
}

int wpsPinFromMac(const uint8_t mac[6])
{
    unsigned value = (unsigned{mac[3]} << 16 | unsigned{mac[4]} << 8 | mac[5]) % 10000000u;
    unsigned accum = 0;
    unsigned v = value;
    accum += 3 * (v / 1000000 % 10);
    accum += 1 * (v / 100000 % 10);
    accum += 3 * (v / 10000 % 10);
    accum += 1 * (v / 1000 % 10);
    accum += 3 * (v / 100 % 10);
    accum += 1 * (v / 10 % 10);
    accum += 3 * (v % 10);
    unsigned digit = (10 - accum % 10) % 10;
    return static_cast<int>(value * 10 + digit);
}
