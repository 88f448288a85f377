// The WPS credential of the supplicant's event text and what it sets.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "services/wlan/wps_credential.h"

namespace {

std::string hexOf(const std::string& bytes)
{
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

std::string attr(uint16_t type, const std::string& value)
{
    std::string a;
    a += static_cast<char>(type >> 8);
    a += static_cast<char>(type & 0xff);
    a += static_cast<char>(value.size() >> 8);
    a += static_cast<char>(value.size() & 0xff);
    return a + value;
}

std::string u16(uint16_t v)
{
    return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xff)};
}

// A Credential attribute as the supplicant's event carries it.
std::string credential(const std::string& ssid, uint16_t auth, uint16_t encr, const std::string& key, int keyIndex = 1)
{
    std::string inner = attr(0x1026, std::string(1, '\x01')) + attr(0x1045, ssid) + attr(0x1003, u16(auth)) +
                        attr(0x100f, u16(encr)) + attr(0x1028, std::string(1, static_cast<char>(keyIndex))) +
                        attr(0x1027, key) + attr(0x1020, std::string("\x02\x00\x00\x00\x00\x01", 6));
    return hexOf(attr(0x100e, inner));
}

WpsCredential parsed(const std::string& hex)
{
    WpsCredential c;
    EXPECT_TRUE(parseWpsCredential(hex.data(), static_cast<int>(hex.size()), &c)) << hex;
    return c;
}

TEST(WpsCredential, MappingToParameters)
{
    struct Case {
        uint16_t auth, encr;
        int keyIndex;
        const char* encrypt;
        bool psk;
        int wepSlot;
        int keyId;
    } cases[] = {
        {kWpsAuthWpa2Psk, kWpsEncrAes, 1, "AESTKIP2", true, 0, 0},
        {kWpsAuthWpaPsk, kWpsEncrTkip, 1, "AESTKIP", true, 0, 0},
        {kWpsAuthWpaPsk | kWpsAuthWpa2Psk, kWpsEncrTkip | kWpsEncrAes, 1, "AESTKIP2", true, 0, 0},
        {kWpsAuthWpa2, kWpsEncrAes, 1, "AESTKIP2", false, 0, 0},
        {kWpsAuthOpen, kWpsEncrNone, 1, "---", false, 0, 0},
        {kWpsAuthOpen, kWpsEncrWep, 0, "WepOpen", false, 1, 0},
        {kWpsAuthShared, kWpsEncrWep, 3, "WepShared", false, 4, 3},
        {kWpsAuthShared, kWpsEncrWep, 4, "WepShared", false, 0, 4},
    };
    for (const Case& c : cases) {
        WpsParamValues v = wpsParamValues(parsed(credential("home", c.auth, c.encr, "secret-key", c.keyIndex)));
        EXPECT_EQ(v.ssid, "home");
        EXPECT_EQ(v.encrypt, c.encrypt) << c.auth << "/" << c.encr;
        EXPECT_EQ(v.setPsk, c.psk) << c.auth;
        EXPECT_EQ(v.wepKeySlot, c.wepSlot) << c.keyIndex;
        EXPECT_EQ(v.keyId, c.keyId) << c.keyIndex;
        EXPECT_EQ(v.key, "secret-key");
    }
}

TEST(WpsCredential, SsidOf32BytesWithOddCharactersAndTheLongestKey)
{
    const std::string ssid = std::string("\"<&>' =\\\x01", 10) + std::string(22, 'z');
    const std::string key(64, 'f');
    WpsParamValues v = wpsParamValues(parsed(credential(ssid, kWpsAuthWpa2Psk, kWpsEncrAes, key)));
    EXPECT_EQ(v.ssid, ssid);
    EXPECT_EQ(v.key, key);
}

TEST(WpsCredential, OversizedOrBrokenAttributesAreRefused)
{
    WpsCredential c;
    const std::string tooLongSsid = credential(std::string(33, 's'), kWpsAuthWpa2Psk, kWpsEncrAes, "k");
    const std::string tooLongKey = credential("s", kWpsAuthWpa2Psk, kWpsEncrAes, std::string(65, 'k'));
    std::string cut = credential("s", kWpsAuthWpa2Psk, kWpsEncrAes, "k");
    cut.resize(cut.size() - 4);
    for (const std::string& hex : {tooLongSsid, tooLongKey, cut, std::string("100e00"), std::string("zz")})
        EXPECT_FALSE(parseWpsCredential(hex.data(), static_cast<int>(hex.size()), &c)) << hex;
}

TEST(WpsCredential, RecordLengthsBeyondTheFieldsAreNotRead)
{
    WpsCredential c{};
    c.ssidLength = 1000;
    c.keyLength = 65;
    WpsParamValues v = wpsParamValues(c);
    EXPECT_TRUE(v.ssid.empty());
    EXPECT_TRUE(v.key.empty());
}

bool checksumValid(int pin)
{
    int sum = 0;
    for (int i = 0; i < 8; ++i) {
        int digit = pin % 10;
        pin /= 10;
        sum += i % 2 == 0 ? digit : 3 * digit;
    }
    return sum % 10 == 0;
}

TEST(WpsPin, LastThreeBytesAndTheChecksumDigit)
{
    const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x12, 0xd6, 0x87};  // 0x12d687 = 1234567
    EXPECT_EQ(wpsPinFromMac(mac), 12345670);
    const uint8_t big[6] = {0, 0, 0, 0xff, 0xff, 0xff};  // 16777215 % 10^7 = 6777215
    int pin = wpsPinFromMac(big);
    EXPECT_EQ(pin / 10, 6777215);
    EXPECT_TRUE(checksumValid(pin));
}

} // namespace
