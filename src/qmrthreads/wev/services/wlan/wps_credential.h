// The credential that WPS hands over. With "SET wps_cred_processing 2" the
// supplicant leaves the credential to the program: its event
// "WPS-CRED-RECEIVED <hex>" carries the Credential attribute of the WPS
// message, which is decoded here and stored in the WLAN parameters.
#pragma once

#include <cstdint>
#include <string>

// The supplicant's WPS authentication and encryption type bits.
enum : uint16_t {
    kWpsAuthOpen = 0x01,
    kWpsAuthWpaPsk = 0x02,
    kWpsAuthShared = 0x04,
    kWpsAuthWpa = 0x08,
    kWpsAuthWpa2 = 0x10,
    kWpsAuthWpa2Psk = 0x20,
    kWpsEncrNone = 0x01,
    kWpsEncrWep = 0x02,
    kWpsEncrTkip = 0x04,
    kWpsEncrAes = 0x08,
};

struct WpsCredential {
    uint8_t ssid[32];
    uint32_t ssidLength;
    uint16_t authType;
    uint16_t encrType;
    uint8_t keyIndex;
    uint8_t key[64];
    uint32_t keyLength;
    uint8_t mac[6];
};

// Decodes the attributes (hex text of length characters), the Credential
// attribute itself or its content. false when the text is not hex, an
// attribute runs past the end, or the SSID (over 32 bytes) or the network key
// (over 64 bytes) does not fit.
bool parseWpsCredential(const char* hex, int length, WpsCredential* out);

// What the credential sets: every parameter the credential gives a value.
struct WpsParamValues {
    std::string ssid;             // `wifi_name`
    std::string encrypt;          // `wifi_encrypt`
    int keyId = 0;                // `wifi_keyid`: 0 when not set
    int wepKeySlot = 0;           // 1..4: `wifi_wkey<n>` gets the key; 0 none
    bool setPsk = false;          // `wifi_psk` gets the key
    std::string key;
};
WpsParamValues wpsParamValues(const WpsCredential& cred);

// Stores the values: `wifi_mode` "infra" and what wpsParamValues gives.
void storeWpsCredential(const WpsCredential& cred);

// The eight-digit WPS PIN of a MAC address: its last three bytes as a 24-bit
// number modulo 10^7, and the checksum digit.
int wpsPinFromMac(const uint8_t mac[6]);
